#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.h"
#include "protocol/json.h"
#include "protocol/stream.h"

namespace velkor::test {

// A reader over `data`, handed out in pieces of at most `chunk` bytes.
inline protocol::BufReader reader_over(std::string data, std::size_t chunk = SIZE_MAX) {
  return protocol::BufReader(std::make_unique<protocol::StringSource>(std::move(data), chunk));
}

// A JSON value from a literal the test knows to be valid.
inline protocol::json::Json parse_or_die(std::string_view text) {
  auto parsed = protocol::json::parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed ? std::move(parsed->value) : protocol::json::Json();
}

// Keeps each write_all call apart, so a test can see that a message left in
// one call.
class RecordingSink : public protocol::Sink {
 public:
  Result<void> write_all(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return {};
  }
  std::vector<std::string> writes;
};

// Hands out its bytes, then fails every read with a reset connection
// instead of reporting end of input.
class FailingSource : public protocol::Source {
 public:
  explicit FailingSource(std::string data) : data_(std::move(data)) {}
  Result<std::size_t> read_some(char* buf, std::size_t n) override {
    if (data_.empty()) return Unexpected(IoError::from_errno(ECONNRESET));
    std::size_t take = std::min(n, data_.size());
    data_.copy(buf, take);
    data_.erase(0, take);
    return take;
  }

 private:
  std::string data_;
};

}  // namespace velkor::test
