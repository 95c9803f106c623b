#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.h"

namespace velkor::protocol {

// Where bytes come from. read_some returns 0 only at end of input.
class Source {
 public:
  virtual ~Source() = default;
  virtual Result<std::size_t> read_some(char* buf, std::size_t n) = 0;
};

// Where bytes go. write_all writes every byte or fails; a failure may leave
// part of the bytes written.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual Result<void> write_all(std::string_view bytes) = 0;
};

// Bytes held by lines that readers are still receiving, shared by the
// readers that pass it, so that together they stay under one limit.
class LineBudget {
 public:
  explicit LineBudget(std::size_t limit) : limit_(limit) {}
  // False, taking nothing, when `n` more bytes would pass the limit.
  bool take(std::size_t n);
  void give_back(std::size_t n) { used_.fetch_sub(n, std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> used_{0};
  const std::size_t limit_;
};

// A buffered reader that owns its source. Bytes that arrived before the
// reader was made (e.g. right after a handshake line) can be handed in and
// are read first. Not thread-safe; owned by one reading thread.
class BufReader {
 public:
  static constexpr std::size_t kDefaultCapacity = 8192;
  static constexpr std::size_t kLongLineCapacity = 256 * 1024;

  explicit BufReader(std::unique_ptr<Source> source, std::string initial = {},
                     std::size_t capacity = kDefaultCapacity);

  // Appends to `out` the bytes up to and including the next line feed, but
  // at most `max` bytes; returns how many were appended. 0 means end of
  // input before any byte. A line cut by `max` leaves its rest unread; one
  // cut by end of input is returned without a line feed.
  // With a `budget`, the bytes of the line count against it while it is
  // being read; a line that would pass it fails with kInvalidData.
  Result<std::size_t> read_line(std::string& out, std::size_t max, LineBudget* budget = nullptr);

  // Reads until `n` bytes arrived or input ended; returns the count.
  Result<std::size_t> read_up_to(char* dst, std::size_t n);

  Source& source() { return *source_; }

 private:
  Result<bool> fill();

  std::unique_ptr<Source> source_;
  std::vector<char> buf_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// In-memory peers for tests and fuzzing. StringSource can hand out its bytes
// in pieces of at most `chunk` to exercise partial reads.
class StringSource : public Source {
 public:
  explicit StringSource(std::string data, std::size_t chunk = SIZE_MAX)
      : data_(std::move(data)), chunk_(chunk) {}
  Result<std::size_t> read_some(char* buf, std::size_t n) override;

 private:
  std::string data_;
  std::size_t pos_ = 0;
  const std::size_t chunk_;
};

class StringSink : public Sink {
 public:
  // Fails every write after `fail_after` bytes were accepted (for tests).
  explicit StringSink(std::size_t fail_after = SIZE_MAX) : fail_after_(fail_after) {}
  Result<void> write_all(std::string_view bytes) override;
  const std::string& data() const { return data_; }

 private:
  std::string data_;
  const std::size_t fail_after_;
};

}  // namespace velkor::protocol
