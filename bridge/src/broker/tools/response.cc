#include "broker/tools/response.h"

#include <string>
#include <utility>

#include "broker/screenshot/screenshot.h"

namespace velkor::broker::tools {
namespace {

protocol::json::Json text_content(std::string text) {
  protocol::json::Json item = protocol::json::Json::object();
  item["text"] = std::move(text);
  item["type"] = "text";
  protocol::json::Json content = protocol::json::Json::array();
  content.push_back(std::move(item));
  return content;
}

}  // namespace

protocol::json::Json response_error(std::string_view text) {
  protocol::json::Json result = protocol::json::Json::object();
  result["content"] = text_content(std::string(text));
  result["isError"] = true;
  return result;
}

protocol::json::Json response_image(protocol::json::Json verified) {
  auto data = verified.is_object() ? verified.find(screenshot::kVerifiedMember) : verified.end();
  if (data == verified.end()) return response_value(std::move(verified));

  protocol::json::Json item = protocol::json::Json::object();
  item["data"] = std::move(*data);
  item["mimeType"] = std::string(screenshot::kPngMime);
  item["type"] = "image";
  verified.erase(data);

  protocol::json::Json result = protocol::json::Json::object();
  result["content"] = protocol::json::Json::array();
  result["content"].push_back(std::move(item));
  result["structuredContent"] = std::move(verified);
  return result;
}

protocol::json::Json response_value(protocol::json::Json value) {
  protocol::json::Json result = protocol::json::Json::object();
  result["content"] = text_content(protocol::json::dump(value));
  if (value.is_object()) {
    result["structuredContent"] = std::move(value);
  } else {
    protocol::json::Json wrapped = protocol::json::Json::object();
    wrapped["result"] = std::move(value);
    result["structuredContent"] = std::move(wrapped);
  }
  return result;
}

}  // namespace velkor::broker::tools
