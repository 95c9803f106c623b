#include "protocol/native_messaging.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
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

std::string prefix(std::uint32_t length) {
  std::string out(4, '\0');
  std::memcpy(out.data(), &length, sizeof length);
  return out;
}

std::string frame(std::string_view body) {
  return prefix(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

TEST(NativeMessagingTest, ReadsAnyJsonValue) {
  const struct {
    std::string body;
    std::string value;  // compact form of the expected value
  } cases[] = {
      {"{}", "{}"},
      {R"({"b":[1,{"y":2,"x":1}],"a":null})", R"({"a":null,"b":[1,{"x":1,"y":2}]})"},
      {R"("s\u00e9")", "\"s\xC3\xA9\""},
      {"-12", "-12"},
      {"2.5", "2.5"},
      {"[1,2]", "[1,2]"},
      {"true", "true"},
      {"false", "false"},
      {"null", "null"},
      {" \t\r\n{} \n", "{}"},
      {std::string(128, '[') + std::string(128, ']'),
       std::string(128, '[') + std::string(128, ']')},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {SIZE_MAX, std::size_t{1}}) {
      BufReader in = reader_over(frame(c.body), chunk);
      auto v = nm_read_frame(in);
      ASSERT_TRUE(v.has_value()) << c.body << ": " << v.error().to_string();
      ASSERT_TRUE(v->has_value()) << c.body;
      EXPECT_EQ(json::dump(**v), c.value) << c.body;
    }
  }
}

TEST(NativeMessagingTest, ReadsFramesBackToBackThenEnd) {
  for (std::size_t chunk : {SIZE_MAX, std::size_t{1}, std::size_t{3}}) {
    BufReader in = reader_over(frame("1") + frame(R"({"a":"b"})") + frame("null"), chunk);
    auto first = nm_read_frame(in);
    ASSERT_TRUE(first.has_value() && first->has_value());
    EXPECT_EQ(**first, Json(1));
    auto second = nm_read_frame(in);
    ASSERT_TRUE(second.has_value() && second->has_value());
    EXPECT_EQ(**second, parse_or_die(R"({"a":"b"})"));
    auto third = nm_read_frame(in);
    ASSERT_TRUE(third.has_value() && third->has_value());
    EXPECT_TRUE((*third)->is_null());
    auto end = nm_read_frame(in);
    ASSERT_TRUE(end.has_value());
    EXPECT_FALSE(end->has_value());
  }
}

TEST(NativeMessagingTest, EndsCleanlyInsideLengthPrefix) {
  const std::string full = prefix(2);
  for (std::size_t n = 0; n < 4; ++n) {
    BufReader in = reader_over(full.substr(0, n), 1);
    auto r = nm_read_frame(in);
    ASSERT_TRUE(r.has_value()) << n << ": " << r.error().to_string();
    EXPECT_FALSE(r->has_value()) << n;
  }
}

TEST(NativeMessagingTest, RefusesBadFrames) {
  const struct {
    std::string input;
    ErrorKind kind;
    std::string text;
  } cases[] = {
      {frame(""), ErrorKind::kInvalidData,
       "nm json decode: parse error at line 1, column 1: syntax error while parsing value - "
       "unexpected end of input; expected '[', '{', or a literal"},
      {frame("{} x"), ErrorKind::kInvalidData,
       "nm json decode: parse error at line 1, column 4: syntax error while parsing value - "
       "invalid literal; last read: '{} x'; expected end of input"},
      // Early end of the JSON is still a decode failure, not end of stream.
      {frame("{\"a\":"), ErrorKind::kInvalidData,
       "nm json decode: parse error at line 1, column 6: syntax error while parsing value - "
       "unexpected end of input; expected '[', '{', or a literal"},
      {frame(std::string("{}\0", 3)), ErrorKind::kInvalidData,
       "nm json decode: unexpected NUL byte at line 1, column 3"},
      {frame("\"\xFF\""), ErrorKind::kInvalidData,
       "nm json decode: parse error at line 1, column 2: syntax error while parsing value - "
       "invalid string: ill-formed UTF-8 byte; last read: '\"\xFF'"},
      {frame(std::string(129, '[') + std::string(129, ']')), ErrorKind::kInvalidData,
       "nm json decode: recursion limit exceeded at line 1, column 129"},
      {prefix(10) + "{}", ErrorKind::kUnexpectedEof, "failed to fill whole buffer"},
      {prefix(1), ErrorKind::kUnexpectedEof, "failed to fill whole buffer"},
      {prefix(static_cast<std::uint32_t>(kMaxIncomingFrameBytes + 1)), ErrorKind::kInvalidData,
       "native-messaging frame too large: 67108865 bytes"},
      {prefix(0xFFFFFFFF) + "{}", ErrorKind::kInvalidData,
       "native-messaging frame too large: 4294967295 bytes"},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {SIZE_MAX, std::size_t{1}}) {
      BufReader in = reader_over(c.input, chunk);
      auto r = nm_read_frame(in);
      ASSERT_FALSE(r.has_value()) << c.text;
      EXPECT_EQ(r.error().kind(), c.kind) << c.text;
      EXPECT_EQ(r.error().to_string(), c.text);
    }
  }
}

TEST(NativeMessagingTest, AcceptsLargestIncomingLength) {
  // Only the length is sent: reaching the body read proves the length
  // passed, at the cost of one buffer of the largest size.
  BufReader in = reader_over(prefix(static_cast<std::uint32_t>(kMaxIncomingFrameBytes)));
  auto r = nm_read_frame(in);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kUnexpectedEof);
  EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
}

// A failed read inside the length prefix is an error, not end of stream.
TEST(NativeMessagingTest, ReturnsReadFailureUnchanged) {
  BufReader in(std::make_unique<test::FailingSource>(std::string(2, '\0')));
  auto r = nm_read_frame(in);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().os_error(), ECONNRESET);
}

TEST(NativeMessagingTest, WritesOneFramePerValueInOneWrite) {
  RecordingSink out;
  ASSERT_TRUE(nm_write_frame(out, parse_or_die(R"({"b":"\n","a":[true,null]})")).has_value());
  ASSERT_TRUE(nm_write_frame(out, Json("é")).has_value());
  ASSERT_EQ(out.writes.size(), 2u);
  EXPECT_EQ(out.writes[0], frame(R"({"a":[true,null],"b":"\n"})"));
  EXPECT_EQ(out.writes[1], frame("\"é\""));
}

TEST(NativeMessagingTest, EnforcesOutgoingCapExactly) {
  // A JSON string's compact form is its text plus two quotation marks.
  {
    RecordingSink out;
    std::string text(kMaxOutgoingFrameBytes - 2, 'a');
    ASSERT_TRUE(nm_write_frame(out, Json(text)).has_value());
    ASSERT_EQ(out.writes.size(), 1u);
    EXPECT_EQ(out.writes[0].size(), 4 + kMaxOutgoingFrameBytes);
    EXPECT_EQ(out.writes[0].substr(0, 4),
              prefix(static_cast<std::uint32_t>(kMaxOutgoingFrameBytes)));
    EXPECT_EQ(out.writes[0].substr(4, 2), "\"a");
  }
  {
    RecordingSink out;
    std::string text(kMaxOutgoingFrameBytes - 1, 'a');
    auto r = nm_write_frame(out, Json(text));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(r.error().to_string(),
              "native-messaging outgoing frame 1048577 bytes exceeds 1 MB cap");
    EXPECT_TRUE(out.writes.empty());
  }
  EXPECT_FALSE(check_outgoing_frame_size(kMaxOutgoingFrameBytes).has_value());
  auto refused = check_outgoing_frame_size(5'000'000);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(refused->to_string(), "native-messaging outgoing frame 5000000 bytes exceeds 1 MB cap");
}

}  // namespace
}  // namespace velkor::protocol
