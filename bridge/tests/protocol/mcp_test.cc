#include "protocol/mcp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "protocol/limits.h"
#include "protocol/stream.h"
#include "support/streams.h"

namespace velkor::protocol {
namespace {

using json::Json;
using test::parse_or_die;
using test::reader_over;
using test::RecordingSink;

// Reads every message of `input` and writes each again, one per line.
std::string relay(std::string input, std::size_t chunk) {
  BufReader in = reader_over(std::move(input), chunk);
  StringSink out;
  for (;;) {
    auto m = mcp_read(in);
    if (!m) return "error: " + m.error().to_string();
    if (!*m) return out.data();
    EXPECT_TRUE(mcp_write(out, **m).has_value());
  }
}

struct RelayCase {
  const char* name;
  std::string in;
  std::string out;
};

TEST(McpTest, ReadsAndWritesBackExactly) {
  const RelayCase cases[] = {
      {"empty object", "{}\n", "{\"jsonrpc\":null}\n"},
      {"request",
       R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"
       "\n",
       R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"
       "\n"},
      {"members out of order",
       R"({"method":"m","id":"a","jsonrpc":"2.0","params":{"x":1}})"
       "\n",
       R"({"jsonrpc":"2.0","id":"a","method":"m","params":{"x":1}})"
       "\n"},
      {"unknown keys dropped, even repeated ones",
       R"({"jsonrpc":"2.0","extra":[1],"extra":2,"id":1})"
       "\n",
       R"({"jsonrpc":"2.0","id":1})"
       "\n"},
      {"nested keys sorted",
       R"({"id":2,"params":{"name":"x","arguments":{"z":1,"a":2,"\u00e9":3,"B":4}}})"
       "\n",
       "{\"jsonrpc\":null,\"id\":2,\"params\":{\"arguments\":{\"B\":4,\"a\":2,\"z\":1,"
       "\"\xC3\xA9\":3},\"name\":\"x\"}}\n"},
      {"nested repeated key keeps last",
       R"({"params":{"a":1,"a":2}})"
       "\n",
       R"({"jsonrpc":null,"params":{"a":2}})"
       "\n"},
      {"nulls are absent",
       R"({"jsonrpc":null,"id":null,"method":null,"params":null,"result":null,"error":null})"
       "\n",
       R"({"jsonrpc":null})"
       "\n"},
      {"crlf", "{\"id\":3}\r\n",
       R"({"jsonrpc":null,"id":3})"
       "\n"},
      {"any jsonrpc text",
       R"({"jsonrpc":"1.0"})"
       "\n",
       R"({"jsonrpc":"1.0"})"
       "\n"},
      {"error with data",
       R"({"error":{"data":{"b":1,"a":0},"message":"m","code":-32601,"x":1},"id":5})"
       "\n",
       R"({"jsonrpc":null,"id":5,"error":{"code":-32601,"message":"m","data":{"a":0,"b":1}}})"
       "\n"},
      {"error code bounds",
       "{\"error\":{\"code\":-2147483648,\"message\":\"\"}}\n"
       "{\"error\":{\"code\":2147483647,\"message\":\"\"}}\n",
       "{\"jsonrpc\":null,\"error\":{\"code\":-2147483648,\"message\":\"\"}}\n"
       "{\"jsonrpc\":null,\"error\":{\"code\":2147483647,\"message\":\"\"}}\n"},
      {"numbers",
       R"({"id":18446744073709551615,"result":[-9223372036854775808,1.5,0.1,1E2,-0]})"
       "\n",
       R"({"jsonrpc":null,"id":18446744073709551615,"result":[-9223372036854775808,1.5,0.1,100.0,0]})"
       "\n"},
      {"string escapes",
       R"({"id":"\u0001\u001f\b\f\n\r\t\"\\\/\u00e9\ud83d\ude00"})"
       "\n",
       "{\"jsonrpc\":null,\"id\":\"\\u0001\\u001f\\b\\f\\n\\r\\t\\\"\\\\/"
       "\xC3\xA9\xF0\x9F\x98\x80\"}\n"},
      {"blank lines skipped", "\n \t\r\n\f\n{\"id\":1}\n\n{\"id\":2}\n  \n",
       "{\"jsonrpc\":null,\"id\":1}\n{\"jsonrpc\":null,\"id\":2}\n"},
      {"last line without line feed", "{\"id\":1}\n{\"id\":2}",
       "{\"jsonrpc\":null,\"id\":1}\n{\"jsonrpc\":null,\"id\":2}\n"},
      {"blank last line without line feed", "{\"id\":1}\n \t", "{\"jsonrpc\":null,\"id\":1}\n"},
      {"empty input", "", ""},
      {"nesting of 128 accepted",
       "{\"params\":" + std::string(127, '[') + std::string(127, ']') + "}\n",
       "{\"jsonrpc\":null,\"params\":" + std::string(127, '[') + std::string(127, ']') + "}\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relay(c.in, SIZE_MAX), c.out) << c.name;
    EXPECT_EQ(relay(c.in, 1), c.out) << c.name << " (byte by byte)";
  }
}

struct FailCase {
  std::string in;
  ErrorKind kind;
  std::string text;
};

TEST(McpTest, RefusesMalformedMessages) {
  const FailCase cases[] = {
      {R"({"method":"a","method":"b"})", ErrorKind::kInvalidData,
       "duplicate field `method` at line 1, column 27"},
      {R"({"id":1,"id":2})", ErrorKind::kInvalidData, "duplicate field `id` at line 1, column 15"},
      {R"({"error":null,"error":null})", ErrorKind::kInvalidData,
       "duplicate field `error` at line 1, column 27"},
      {R"({"params":[],"result":1,"params":{}})", ErrorKind::kInvalidData,
       "duplicate field `params` at line 1, column 36"},
      {"\xEF\xBB\xBF{}", ErrorKind::kInvalidData, "unexpected byte order mark at line 1, column 1"},
      {R"([{"method":"a"}])", ErrorKind::kInvalidData,
       "invalid type: expected object, found array at line 1, column 16"},
      {R"("x")", ErrorKind::kInvalidData,
       "invalid type: expected object, found string at line 1, column 3"},
      {R"({"method":5})", ErrorKind::kInvalidData,
       "invalid type for field `method`: expected string, found integer at line 1, column 12"},
      {R"({"jsonrpc":2})", ErrorKind::kInvalidData,
       "invalid type for field `jsonrpc`: expected string, found integer at line 1, column 13"},
      {R"({"error":"boom"})", ErrorKind::kInvalidData,
       "invalid type for field `error`: expected object, found string at line 1, column 16"},
      {R"({"error":{"code":1}})", ErrorKind::kInvalidData,
       "missing field `message` at line 1, column 20"},
      {R"({"error":{"message":"m"}})", ErrorKind::kInvalidData,
       "missing field `code` at line 1, column 25"},
      {R"({"error":{"code":2147483648,"message":"m"}})", ErrorKind::kInvalidData,
       "invalid value for field `code`: expected a 32-bit integer, found 2147483648 at line 1, "
       "column 43"},
      {R"({"error":{"code":-2147483649,"message":"m"}})", ErrorKind::kInvalidData,
       "invalid value for field `code`: expected a 32-bit integer, found -2147483649 at line 1, "
       "column 44"},
      {R"({"error":{"code":1.0,"message":"m"}})", ErrorKind::kInvalidData,
       "invalid type for field `code`: expected integer, found number at line 1, column 36"},
      {R"({"error":{"code":null,"message":"m"}})", ErrorKind::kInvalidData,
       "invalid type for field `code`: expected integer, found null at line 1, column 37"},
      {R"({"error":{"code":1,"message":7}})", ErrorKind::kInvalidData,
       "invalid type for field `message`: expected string, found integer at line 1, column 32"},
      {R"({"method":"x")", ErrorKind::kUnexpectedEof,
       "parse error at line 1, column 14: syntax error while parsing object - unexpected end of "
       "input; expected '}'"},
      {"{} {}", ErrorKind::kInvalidData,
       "parse error at line 1, column 4: syntax error while parsing value - unexpected '{'; "
       "expected end of input"},
      {"{}x", ErrorKind::kInvalidData,
       "parse error at line 1, column 3: syntax error while parsing value - invalid literal; last "
       "read: '{}x'; expected end of input"},
      {std::string("{}\0x", 4), ErrorKind::kInvalidData, "unexpected NUL byte at line 1, column 3"},
      {std::string("{\"method\":\"a\0\"}", 15), ErrorKind::kInvalidData,
       "parse error at line 1, column 13: syntax error while parsing value - invalid string: "
       "control character U+0000 (NUL) must be escaped to \\u0000; last read: '\"a<U+0000>'"},
      {"{\"method\":\"\xFF\"}", ErrorKind::kInvalidData,
       "parse error at line 1, column 12: syntax error while parsing value - invalid string: "
       "ill-formed UTF-8 byte; last read: '\"\xFF'"},
      {"{\"params\":" + std::string(128, '[') + std::string(128, ']') + "}",
       ErrorKind::kInvalidData, "recursion limit exceeded at line 1, column 138"},
  };
  for (const auto& c : cases) {
    auto m = parse_jsonrpc(c.in);
    ASSERT_FALSE(m.has_value()) << c.in;
    EXPECT_EQ(m.error().kind(), c.kind) << c.in;
    EXPECT_EQ(m.error().to_string(), c.text) << c.in;

    // A final line without a line feed is parsed like any other.
    BufReader in = reader_over(c.in, 1);
    auto r = mcp_read(in);
    ASSERT_FALSE(r.has_value()) << c.in;
    EXPECT_EQ(r.error().to_string(), c.text) << c.in;
  }
}

TEST(McpTest, KeepsIdsAndFieldsAsSent) {
  auto m =
      parse_jsonrpc(R"({"jsonrpc":"2.0","id":{"k":[1]},"method":"tools/call","params":{"a":1},)"
                    R"("result":"r","error":{"code":-32000,"message":"m","data":[null]}})");
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  EXPECT_EQ(m->jsonrpc, "2.0");
  EXPECT_EQ(m->id, parse_or_die(R"({"k":[1]})"));
  EXPECT_EQ(m->method, "tools/call");
  EXPECT_EQ(m->params, parse_or_die(R"({"a":1})"));
  EXPECT_EQ(m->result, Json("r"));
  ASSERT_TRUE(m->error.has_value());
  EXPECT_EQ(m->error->code, -32000);
  EXPECT_EQ(m->error->message, "m");
  EXPECT_EQ(m->error->data, parse_or_die("[null]"));
  EXPECT_FALSE(m->is_notification());

  auto notification = parse_jsonrpc(R"({"jsonrpc":"2.0","id":null,"method":"n"})");
  ASSERT_TRUE(notification.has_value());
  EXPECT_TRUE(notification->is_notification());
  auto zero = parse_jsonrpc(R"({"id":0})");
  ASSERT_TRUE(zero.has_value());
  EXPECT_FALSE(zero->is_notification());
}

TEST(McpTest, WritesAnswersByteForByte) {
  RecordingSink out;
  ASSERT_TRUE(mcp_write(out, JsonRpc::err(Json(7), -32601, "Method not found")).has_value());
  ASSERT_TRUE(mcp_write(out, JsonRpc::err(Json("a"), -32000, "Velkor Computer Use остановлен."))
                  .has_value());
  ASSERT_TRUE(
      mcp_write(out, JsonRpc::ok(Json(1), parse_or_die(R"({"tools":[],"a":"\n"})"))).has_value());
  ASSERT_EQ(out.writes.size(), 3u);
  EXPECT_EQ(out.writes[0],
            R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found"}})"
            "\n");
  EXPECT_EQ(
      out.writes[1],
      R"({"jsonrpc":"2.0","id":"a","error":{"code":-32000,"message":"Velkor Computer Use остановлен."}})"
      "\n");
  EXPECT_EQ(out.writes[2], R"({"jsonrpc":"2.0","id":1,"result":{"a":"\n","tools":[]}})"
                           "\n");
}

// The line rules themselves are covered in line_test.cc; this checks that a
// message at the cap is parsed whole, and that mcp_read reports the refusal.
TEST(McpTest, ParsesMessageAtLineCapAndRefusesLonger) {
  std::string line = "{\"id\":1}";
  line.resize(kMaxLineBytes - 1, ' ');
  line += '\n';
  {
    BufReader in = reader_over(line + "{\"id\":2}\n");
    auto first = mcp_read(in);
    ASSERT_TRUE(first.has_value()) << first.error().to_string();
    EXPECT_EQ((*first)->id, Json(1));
    auto second = mcp_read(in);
    ASSERT_TRUE(second.has_value() && second->has_value());
    EXPECT_EQ((*second)->id, Json(2));
  }
  line.insert(0, 1, ' ');
  BufReader in = reader_over(std::move(line));
  auto r = mcp_read(in);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(r.error().to_string(), "JSON message too large");
}

}  // namespace
}  // namespace velkor::protocol
