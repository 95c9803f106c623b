#include "protocol/json.h"

#include <gtest/gtest.h>

#include <string>

namespace velkor::protocol::json {
namespace {

// Long string values skip the token-by-token lexer; whatever a text holds,
// the tree and every refusal must be what the lexer alone would give.
TEST(JsonTest, LongStringsParseExactlyAsTheLexerWould) {
  const std::string big(70000, 'x');
  const std::string wide =
      std::string(30000, 'a') + "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80" + std::string(40000, 'b');
  const std::string accepted[] = {
      R"({"value":")" + big + R"("})",
      R"([")" + big + R"(","short",{"k" : ")" + wide + R"("},")" + big + R"("])",
      R"({")" + big + R"(":")" + wide + R"(","n":1})",
      R"({"escaped":")" + big + R"(\n\u00e9\"","after":")" + big + R"("})",
      "  \"" + big + "\"  ",
  };
  for (const std::string& text : accepted) {
    auto parsed = parse(text);
    ASSERT_TRUE(parsed) << parsed.error().to_string();
    EXPECT_EQ(parsed->value, nlohmann::json::parse(text));
  }

  const std::string refused[] = {
      R"({"value":")" + big + "\x01" + R"("})",          // raw control character
      R"({"value":")" + big + "\xC0\xAF" + R"("})",      // overlong encoding
      R"({"value":")" + big + "\xED\xA0\x80" + R"("})",  // surrogate
      R"({"value":")" + big + R"(" "next":1})",          // missing comma
      R"([")" + big + R"(",])",                          // trailing comma
  };
  for (const std::string& text : refused) {
    auto parsed = parse(text);
    EXPECT_FALSE(parsed) << text.substr(text.size() - 20);
  }
  // Positions count the original text, long strings included.
  auto late = parse(R"([")" + big + R"(",])");
  ASSERT_FALSE(late);
  EXPECT_NE(late.error().to_string().find("column 70005"), std::string::npos)
      << late.error().to_string();
}

}  // namespace
}  // namespace velkor::protocol::json
