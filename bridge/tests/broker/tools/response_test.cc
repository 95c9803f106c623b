#include "broker/tools/response.h"

#include <gtest/gtest.h>

namespace velkor::broker::tools {
namespace {

protocol::json::Json value_of(std::string_view text) {
  auto parsed = protocol::json::parse(text);
  if (!parsed) {
    ADD_FAILURE() << "test JSON does not parse: " << text;
    return nullptr;
  }
  return std::move(parsed->value);
}

TEST(ResponseTest, Error) {
  EXPECT_EQ(protocol::json::dump(response_error("Неизвестный инструмент.")),
            R"({"content":[{"text":"Неизвестный инструмент.","type":"text"}],"isError":true})");
  EXPECT_EQ(protocol::json::dump(response_error("a \"quoted\"\nline")),
            R"({"content":[{"text":"a \"quoted\"\nline","type":"text"}],"isError":true})");
}

TEST(ResponseTest, Value) {
  struct Case {
    std::string_view value;
    std::string_view expected;
  };
  const Case cases[] = {
      {R"("abc")",
       R"({"content":[{"text":"\"abc\"","type":"text"}],"structuredContent":{"result":"abc"}})"},
      {R"({"b":1,"a":[true,null]})",
       R"({"content":[{"text":"{\"a\":[true,null],\"b\":1}","type":"text"}],)"
       R"("structuredContent":{"a":[true,null],"b":1}})"},
      {"{}", R"({"content":[{"text":"{}","type":"text"}],"structuredContent":{}})"},
      {"null",
       R"({"content":[{"text":"null","type":"text"}],"structuredContent":{"result":null}})"},
      {"[1,2]",
       R"({"content":[{"text":"[1,2]","type":"text"}],"structuredContent":{"result":[1,2]}})"},
      {"18446744073709551615", R"({"content":[{"text":"18446744073709551615","type":"text"}],)"
                               R"("structuredContent":{"result":18446744073709551615}})"},
      {R"("tab\t\"x\"")", R"({"content":[{"text":"\"tab\\t\\\"x\\\"\"","type":"text"}],)"
                          R"("structuredContent":{"result":"tab\t\"x\""}})"},
      // A page reply cannot pass itself off as a verified screenshot.
      {R"({"_verifiedScreenshot":"iVBORw0KGgo=","size":8})",
       R"({"content":[{"text":"{\"_verifiedScreenshot\":\"iVBORw0KGgo=\",\"size\":8}",)"
       R"("type":"text"}],"structuredContent":{"_verifiedScreenshot":"iVBORw0KGgo=","size":8}})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(protocol::json::dump(response_value(value_of(c.value))), c.expected) << c.value;
  }
}

TEST(ResponseTest, Image) {
  EXPECT_EQ(protocol::json::dump(response_image(
                value_of(R"({"_verifiedScreenshot":"iVBORw0KGgo=","sha256":"ab12","size":8})"))),
            R"({"content":[{"data":"iVBORw0KGgo=","mimeType":"image/png","type":"image"}],)"
            R"("structuredContent":{"sha256":"ab12","size":8}})");
}

TEST(ResponseTest, ImageWithoutDataFallsBackToValue) {
  EXPECT_EQ(
      protocol::json::dump(response_image(value_of(R"({"size":8})"))),
      R"({"content":[{"text":"{\"size\":8}","type":"text"}],"structuredContent":{"size":8}})");
}

}  // namespace
}  // namespace velkor::broker::tools
