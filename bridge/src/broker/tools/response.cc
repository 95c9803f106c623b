#include "broker/tools/response.h"

#include <string>
#include <utility>

#include "broker/screenshot/screenshot.h"

namespace velkor::broker::tools {
namespace {

json::Json text_content(std::string text) {
  json::Json item = json::Json::object();
  item["text"] = std::move(text);
  item["type"] = "text";
  json::Json content = json::Json::array();
  content.push_back(std::move(item));
  return content;
}

}  // namespace

json::Json response_error(std::string_view text) {
  json::Json result = json::Json::object();
  result["content"] = text_content(std::string(text));
  result["isError"] = true;
  return result;
}

json::Json response_image(json::Json verified) {
  auto data = verified.is_object() ? verified.find(screenshot::kVerifiedMember) : verified.end();
  if (data == verified.end()) return response_value(std::move(verified));

  json::Json item = json::Json::object();
  item["data"] = std::move(*data);
  item["mimeType"] = std::string(screenshot::kPngMime);
  item["type"] = "image";
  verified.erase(data);

  json::Json result = json::Json::object();
  result["content"] = json::Json::array();
  result["content"].push_back(std::move(item));
  result["structuredContent"] = std::move(verified);
  return result;
}

json::Json response_value(json::Json value) {
  json::Json result = json::Json::object();
  result["content"] = text_content(json::dump(value));
  if (value.is_object()) {
    result["structuredContent"] = std::move(value);
  } else {
    json::Json wrapped = json::Json::object();
    wrapped["result"] = std::move(value);
    result["structuredContent"] = std::move(wrapped);
  }
  return result;
}

}  // namespace velkor::broker::tools
