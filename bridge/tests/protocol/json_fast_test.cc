#include "protocol/json_fast.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "protocol/mcp.h"
#include "protocol/stream.h"

namespace velkor::protocol::json {
namespace {

// Same value and same number types: 1 read as unsigned is not 1 read signed.
bool same(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_array() || a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
      if (a.is_object() && ia.key() != ib.key()) return false;
      if (!same(*ia, *ib)) return false;
    }
    return true;
  }
  return a == b;
}

// What every line of ours looks like is read by the fast reader; everything
// else falls back, and either way the result is nlohmann's.
TEST(JsonFastTest, ReadsWhatNlohmannReadsOrDeclines) {
  struct Case {
    std::string text;
    bool fast;
  };
  const std::string big(100000, 'A');
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"x","arguments":{}}})",
       true},
      {R"({"id":3,"ok":true,"data":{"base64":")" + big + R"(","eof":false}})", true},
      {" [ 0 , -1 , 18446744073709551615 , -9223372036854775808 , true , null ] ", true},
      {R"({"b":1,"a":2,"b":3,"a":{"x":1,"x":2}})", true},
      {R"("\u00e9\ud83d\ude00\n\t\"\\\/\b\f\r\u0000 caf)"
       "\xC3\xA9"
       R"(")",
       true},
      {std::string(128, '[') + std::string(128, ']'), true},
      {std::string(129, '[') + std::string(129, ']'), false},
      {"1.5", false},
      {"1e3", false},
      {"-0", false},
      {"18446744073709551616", false},
      {"-9223372036854775809", false},
      {"01", false},
      {"[1,]", false},
      {"{\"a\":1,}", false},
      {"\"\\ud800\"", false},
      {"\"\\udc00\\ud800\"", false},
      {"\"\\x\"", false},
      {"\"\x01\"", false},
      {"\"\xC0\xAF\"", false},
      {"\"\xED\xA0\x80\"", false},
      {"\"\xF4\x90\x80\x80\"", false},
      {"\xEF\xBB\xBF{}", false},
      {std::string("{}\0x", 4), false},
      {"", false},
      {"tru", false},
      {"{\"a\" 1}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    auto fast = fast::parse(c.text);
    auto reference = parse_general(c.text);
    EXPECT_EQ(fast.has_value(), c.fast);
    if (fast) {
      ASSERT_TRUE(reference) << reference.error().to_string();
      EXPECT_TRUE(same(fast->value, reference->value));
      EXPECT_EQ(fast->duplicate_top_keys, reference->duplicate_top_keys);
    }
    // The public reader gives the reference's answer, refusal text included.
    auto got = parse(c.text);
    ASSERT_EQ(got.has_value(), reference.has_value());
    if (!got) {
      EXPECT_EQ(got.error().to_string(), reference.error().to_string());
    }
  }
}

TEST(JsonFastTest, WritesNlohmannsBytes) {
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  const Json values[] = {
      Json::parse(R"({"z":[1,-2,3.25,1e300,null,true,{}],"a":"\"q\"\\","m":[]})"),
      Json(every_byte),
      Json(std::string("ok \xC3\xA9 then broken \xC3 \xE2\x82 \xF0\x9F\x98 \xED\xA0\x80 end")),
      Json(std::string(70000, 'x') + "\x1f\x7f"),
      Json{{std::string("k\n\xFF"), std::string("\x01")}},
      Json(-0.0),
      Json(std::numeric_limits<double>::quiet_NaN()),
  };
  for (const Json& value : values) {
    std::string fast;
    fast::dump_to(fast, value);
    EXPECT_EQ(fast, dump_general(value));
    EXPECT_EQ(dump(value), dump_general(value));
  }
}

// The relay passes a line on unbuilt, and the native host only reorders its
// members, when the result is the very bytes the full path writes; every
// other line takes the full path, refusals included.
TEST(JsonFastTest, PassingOnWritesWhatTheFullPathWrites) {
  const std::string lines[] = {
      R"({"jsonrpc":"2.0","id":7,"result":{"content":[],"isError":true}})",
      R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"arguments":{},"name":"x"}})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\r",
      R"({"id":1,"jsonrpc":"2.0","method":"ping"})",
      R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":1,"method":"ping","extra":1})",
      R"({"jsonrpc":"2.0","id":1,"method":"ping","id":2})",
      R"({"jsonrpc":"2.0","id":1,"error":{"code":-1,"message":"m"}})",
      R"({"jsonrpc":"2.0","id":1,"result":{"b":1,"a":2}})",
      R"({"jsonrpc":"2.0","id":1,"result":[1.0,-0,"\/","\u0041","\u001F","\u000a"]})",
      R"({"jsonrpc":"2.0","id":1,"result":["\u001f","\n","\"","\\"]})",
      R"({"jsonrpc": "2.0","id":1,"method":"ping"})",
      R"({"jsonrpc":2,"id":1,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":1,"method":7})",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xC3\x28\"}",
      R"({"jsonrpc":"2.0","id":1,"method":"ping")",
      R"({"op":"x","id":1,"args":{"b":[],"a":{}},"tab_id":-3})",
      R"({"b\n":1,"a":2})",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    protocol::BufReader in(std::make_unique<protocol::StringSource>(line + "\n"));
    protocol::StringSink relayed;
    auto got = protocol::mcp_relay(in, relayed);
    protocol::BufReader again(std::make_unique<protocol::StringSource>(line + "\n"));
    protocol::StringSink written;
    auto read = protocol::mcp_read(again);
    ASSERT_EQ(got.has_value(), read.has_value());
    if (read) {
      ASSERT_TRUE(protocol::mcp_write(written, **read));
      EXPECT_EQ(relayed.data(), written.data());
      EXPECT_EQ(**got, !(*read)->is_notification());
    } else {
      EXPECT_EQ(got.error().to_string(), read.error().to_string());
    }
    auto reference = parse_general(line);
    if (auto sorted = fast::sorted_object(line)) {
      ASSERT_TRUE(reference);
      EXPECT_EQ(*sorted, dump_general(reference->value));
    }
  }
  // The common shapes do take the short paths.
  EXPECT_TRUE(fast::sorted_object(R"({"op":"x","id":1,"args":{"a":1},"tab_id":-3})"));
  EXPECT_TRUE(fast::written_members(lines[0]));
}

}  // namespace
}  // namespace velkor::protocol::json
