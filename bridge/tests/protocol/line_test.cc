#include "protocol/line.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "protocol/limits.h"
#include "protocol/stream.h"
#include "support/streams.h"

namespace velkor::protocol {
namespace {

// Every line read_message_line returns, then "<end>" or "<error: TEXT>".
std::vector<std::string> read_all(std::string input, std::size_t chunk) {
  BufReader in(std::make_unique<StringSource>(std::move(input), chunk));
  std::vector<std::string> out;
  std::string line;
  for (;;) {
    auto more = read_message_line(in, line);
    if (!more) {
      out.push_back("<error: " + more.error().to_string() + ">");
      return out;
    }
    if (!*more) {
      out.push_back("<end>");
      return out;
    }
    out.push_back(line);
  }
}

TEST(LineTest, SplitsAndSkipsBlankLines) {
  using Lines = std::vector<std::string>;
  const struct {
    std::string input;
    Lines lines;
  } cases[] = {
      {"", {"<end>"}},
      {"\n", {"<end>"}},
      {" \t\f\r\n\n\r\n", {"<end>"}},
      {"a\n", {"a\n", "<end>"}},
      {"a\r\n", {"a\r\n", "<end>"}},
      {"a", {"a", "<end>"}},
      {"a\n \t\nb", {"a\n", "b", "<end>"}},
      {"\n\n a \n  ", {" a \n", "<end>"}},
      // Only ASCII white space is blank: a vertical tab or NUL is content.
      {"\v\n", {"\v\n", "<end>"}},
      {std::string("\0\n", 2), {std::string("\0\n", 2), "<end>"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_all(c.input, SIZE_MAX), c.lines);
    EXPECT_EQ(read_all(c.input, 1), c.lines);
  }
}

// A line of `total` bytes of `fill`, the last of them a line feed when
// `newline` is set.
std::string line_of(std::size_t total, bool newline, char fill = 'x') {
  std::string line(total - (newline ? 1 : 0), fill);
  if (newline) line += '\n';
  return line;
}

TEST(LineTest, CapCountsTheLineFeed) {
  const std::string too_large = "<error: JSON message too large>";
  {
    auto lines = read_all(line_of(kMaxLineBytes, true) + "next\n", SIZE_MAX);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], line_of(kMaxLineBytes, true));
    EXPECT_EQ(lines[1], "next\n");
  }
  {
    // The cap is fresh for every line.
    auto lines = read_all(line_of(kMaxLineBytes, true) + line_of(kMaxLineBytes, true), SIZE_MAX);
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "<end>");
  }
  {
    auto lines = read_all(line_of(kMaxLineBytes, false), SIZE_MAX);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), kMaxLineBytes);
  }
  EXPECT_EQ(read_all(line_of(kMaxLineBytes + 1, true), SIZE_MAX),
            std::vector<std::string>{too_large});
  EXPECT_EQ(read_all(line_of(kMaxLineBytes + 1, false), SIZE_MAX),
            std::vector<std::string>{too_large});
  // The cap applies before a line is known to be blank.
  EXPECT_EQ(read_all(line_of(kMaxLineBytes + 1, true, ' '), SIZE_MAX),
            std::vector<std::string>{too_large});
  EXPECT_EQ(read_all("ok\n" + line_of(kMaxLineBytes + 1, true), SIZE_MAX),
            (std::vector<std::string>{"ok\n", too_large}));
}

TEST(LineTest, ReturnsReadFailureUnchanged) {
  // Even a partial blank line is not taken for the end of input.
  BufReader in(std::make_unique<test::FailingSource>("a\n  "));
  std::string line;
  auto first = read_message_line(in, line);
  ASSERT_TRUE(first.has_value() && *first);
  EXPECT_EQ(line, "a\n");
  auto second = read_message_line(in, line);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().os_error(), ECONNRESET);
  EXPECT_EQ(second.error().to_string(), "Connection reset by peer (os error 104)");
}

}  // namespace
}  // namespace velkor::protocol
