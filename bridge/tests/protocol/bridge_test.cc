#include "protocol/bridge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/limits.h"
#include "protocol/operations.h"
#include "protocol/stream.h"
#include "support/streams.h"

namespace velkor::protocol {
namespace {

using json::Json;
using test::parse_or_die;
using test::reader_over;
using test::RecordingSink;

TEST(BridgeTest, SerialisesRequestsInMemberOrder) {
  const struct {
    BridgeReq req;
    std::string line;
  } cases[] = {
      {{7, std::string(kTabList), std::nullopt, Json()}, R"({"id":7,"op":"tab_list"})"},
      {{8, std::string(kPageClick), 12, parse_or_die(R"({"x":1})")},
       R"({"id":8,"op":"page_click","tab_id":12,"args":{"x":1}})"},
      {{9, std::string(kSessionStart), std::nullopt,
        parse_or_die(R"({"sessionId":"s","controller":{"name":"N"}})")},
       R"({"id":9,"op":"session_start","args":{"controller":{"name":"N"},"sessionId":"s"}})"},
      {{UINT64_MAX, "a\"b", INT64_MIN, Json::object()},
       R"({"id":18446744073709551615,"op":"a\"b","tab_id":-9223372036854775808,"args":{}})"},
      {{1, std::string(kPageUpload), 0, parse_or_die(R"(["p"])")},
       R"({"id":1,"op":"page_upload","tab_id":0,"args":["p"]})"},
  };
  for (const auto& c : cases) EXPECT_EQ(serialize(c.req), c.line);
  EXPECT_EQ(serialize(cases[0].req).size(), 24u);
}

TEST(BridgeTest, SerialisesResponsesInMemberOrder) {
  const struct {
    BridgeResp resp;
    std::string line;
  } cases[] = {
      {{0, true, parse_or_die(R"({"announce":{"b":1,"a":2}})"), std::nullopt},
       R"({"id":0,"ok":true,"data":{"announce":{"a":2,"b":1}}})"},
      {{3, false, std::nullopt, "boom\n"}, R"({"id":3,"ok":false,"error":"boom\n"})"},
      {{4, true, std::nullopt, std::nullopt}, R"({"id":4,"ok":true})"},
      {{5, false, Json(1), ""}, R"({"id":5,"ok":false,"data":1,"error":""})"},
  };
  for (const auto& c : cases) EXPECT_EQ(serialize(c.resp), c.line);
}

TEST(BridgeTest, ParsesResponses) {
  const struct {
    std::string line;
    std::uint64_t id;
    bool ok;
    std::optional<std::string> data;  // compact form
    std::optional<std::string> error;
  } cases[] = {
      {R"({"ok":true,"id":5,"extra":{"deep":[1]}})", 5, true, std::nullopt, std::nullopt},
      {R"({"id":3,"ok":false,"error":null})", 3, false, std::nullopt, std::nullopt},
      {R"({"id":1,"ok":true,"data":null})", 1, true, std::nullopt, std::nullopt},
      {R"({"id":1,"ok":true,"data":{"b":1,"a":[]}})", 1, true, R"({"a":[],"b":1})", std::nullopt},
      {R"({"id":2,"ok":false,"error":"no tab \u00e9"})", 2, false, std::nullopt, "no tab \xC3\xA9"},
      {R"({"id":0,"ok":true,"data":false})", 0, true, "false", std::nullopt},
      {R"({"id":18446744073709551615,"ok":true,"x":1,"x":2})", UINT64_MAX, true, std::nullopt,
       std::nullopt},
      {" {\"id\":1,\"ok\":true} \r\n", 1, true, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    auto r = parse_bridge_resp(c.line);
    ASSERT_TRUE(r.has_value()) << c.line << ": " << r.error().to_string();
    EXPECT_EQ(r->id, c.id) << c.line;
    EXPECT_EQ(r->ok, c.ok) << c.line;
    EXPECT_EQ(r->data ? std::optional<std::string>(json::dump(*r->data)) : std::nullopt, c.data)
        << c.line;
    EXPECT_EQ(r->error, c.error) << c.line;
  }
}

TEST(BridgeTest, RefusesMalformedResponses) {
  const struct {
    std::string line;
    ErrorKind kind;
    std::string text;
  } cases[] = {
      {"{\"id\":1}\n", ErrorKind::kInvalidData, "missing field `ok` at line 1, column 8"},
      {R"({"ok":true})", ErrorKind::kInvalidData, "missing field `id` at line 1, column 11"},
      {R"({"id":1,"ok":false,"error":"a","error":"b"})", ErrorKind::kInvalidData,
       "duplicate field `error` at line 1, column 43"},
      {R"({"id":1,"ok":true,"data":1,"id":2})", ErrorKind::kInvalidData,
       "duplicate field `id` at line 1, column 34"},
      {R"({"id":1,"ok":true,"data":1,"data":2})", ErrorKind::kInvalidData,
       "duplicate field `data` at line 1, column 36"},
      {R"({"ok":true,"ok":true})", ErrorKind::kInvalidData,
       "duplicate field `ok` at line 1, column 21"},
      {R"({"id":-1,"ok":true})", ErrorKind::kInvalidData,
       "invalid value for field `id`: expected a non-negative integer, found -1 at line 1, "
       "column 19"},
      {R"({"id":1.5,"ok":true})", ErrorKind::kInvalidData,
       "invalid type for field `id`: expected integer, found number at line 1, column 20"},
      {R"({"id":"1","ok":true})", ErrorKind::kInvalidData,
       "invalid type for field `id`: expected integer, found string at line 1, column 20"},
      {R"({"id":18446744073709551616,"ok":true})", ErrorKind::kInvalidData,
       "invalid type for field `id`: expected integer, found number at line 1, column 37"},
      {R"({"id":null,"ok":true})", ErrorKind::kInvalidData,
       "invalid type for field `id`: expected integer, found null at line 1, column 21"},
      {R"({"id":1,"ok":"true"})", ErrorKind::kInvalidData,
       "invalid type for field `ok`: expected boolean, found string at line 1, column 20"},
      {R"({"id":1,"ok":null})", ErrorKind::kInvalidData,
       "invalid type for field `ok`: expected boolean, found null at line 1, column 18"},
      {R"({"id":1,"ok":false,"error":5})", ErrorKind::kInvalidData,
       "invalid type for field `error`: expected string, found integer at line 1, column 29"},
      {R"([{"id":1,"ok":true}])", ErrorKind::kInvalidData,
       "invalid type: expected object, found array at line 1, column 20"},
      {R"({"id":1,"ok":true)", ErrorKind::kUnexpectedEof,
       "parse error at line 1, column 18: syntax error while parsing object - unexpected end of "
       "input; expected '}'"},
      {std::string("{\"id\":1,\"ok\":true}\0", 19), ErrorKind::kInvalidData,
       "unexpected NUL byte at line 1, column 19"},
  };
  for (const auto& c : cases) {
    auto r = parse_bridge_resp(c.line);
    ASSERT_FALSE(r.has_value()) << c.line;
    EXPECT_EQ(r.error().kind(), c.kind) << c.line;
    EXPECT_EQ(r.error().to_string(), c.text);
  }
}

TEST(BridgeTest, ReadsLinesSkippingBlankOnes) {
  const std::string input =
      "\n   \r\n{\"id\":1,\"ok\":true}\n\t\f\n{\"id\":2,\"ok\":false,\"error\":\"e\"}";
  for (std::size_t chunk : {SIZE_MAX, std::size_t{1}}) {
    BufReader in = reader_over(input, chunk);
    auto first = bridge_read(in);
    ASSERT_TRUE(first.has_value() && first->has_value());
    EXPECT_EQ((*first)->id, 1u);
    auto second = bridge_read(in);
    ASSERT_TRUE(second.has_value() && second->has_value());
    EXPECT_EQ((*second)->id, 2u);
    EXPECT_EQ((*second)->error, "e");
    auto end = bridge_read(in);
    ASSERT_TRUE(end.has_value());
    EXPECT_FALSE(end->has_value());
  }
}

TEST(BridgeTest, ReadReportsMalformedLine) {
  BufReader in = reader_over("{\"id\":1}\n{\"id\":2,\"ok\":true}\n", 1);
  auto r = bridge_read(in);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "missing field `ok` at line 1, column 8");
}

TEST(BridgeTest, RefusesLineOverCap) {
  std::string line = "{\"id\":1,\"ok\":true}";
  line.resize(kMaxLineBytes, ' ');
  line += '\n';
  BufReader in = reader_over(std::move(line));
  auto r = bridge_read(in);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(r.error().to_string(), "JSON message too large");
}

TEST(BridgeTest, WritesEachLineInOneWrite) {
  RecordingSink out;
  ASSERT_TRUE(
      bridge_write(out, BridgeReq{7, std::string(kTabList), std::nullopt, Json()}).has_value());
  ASSERT_TRUE(bridge_write(out, BridgeResp{0, true, std::nullopt, std::nullopt}).has_value());
  ASSERT_TRUE(
      bridge_write_value(out, parse_or_die(R"({"b":1,"a":[true,null],"c":"\n"})")).has_value());
  ASSERT_TRUE(bridge_write_value(out, Json("x")).has_value());
  const std::vector<std::string> expected = {
      "{\"id\":7,\"op\":\"tab_list\"}\n",
      "{\"id\":0,\"ok\":true}\n",
      "{\"a\":[true,null],\"b\":1,\"c\":\"\\n\"}\n",
      "\"x\"\n",
  };
  EXPECT_EQ(out.writes, expected);
}

}  // namespace
}  // namespace velkor::protocol
