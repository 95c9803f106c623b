#pragma once

#include <chrono>
#include <string_view>
#include <utility>

#include "error/result.h"
#include "protocol/stream.h"

namespace velkor::ipc {

// Move-only owner of a file descriptor; closes it when released.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

  // A second descriptor for the same open file (close-on-exec).
  Result<UniqueFd> try_clone() const;

 private:
  int fd_ = -1;
};

// Reads from a descriptor, retrying on EINTR. Owns it unless borrowed.
class FdSource : public protocol::Source {
 public:
  explicit FdSource(UniqueFd fd) : owned_(std::move(fd)), fd_(owned_.get()) {}
  static FdSource borrow(int fd) { return FdSource(fd); }
  Result<std::size_t> read_some(char* buf, std::size_t n) override;

 private:
  explicit FdSource(int fd) : fd_(fd) {}
  UniqueFd owned_;
  int fd_;
};

// Writes to a descriptor, retrying on EINTR and short writes. Owns it unless
// borrowed.
class FdSink : public protocol::Sink {
 public:
  explicit FdSink(UniqueFd fd) : owned_(std::move(fd)), fd_(owned_.get()) {}
  static FdSink borrow(int fd) { return FdSink(fd); }
  Result<void> write_all(std::string_view bytes) override;
  int fd() const { return fd_; }

 private:
  explicit FdSink(int fd) : fd_(fd) {}
  UniqueFd owned_;
  int fd_;
};

// Writes all bytes to fd, retrying on EINTR and short writes.
Result<void> write_all_fd(int fd, std::string_view bytes);

// Writes all bytes to a socket before `deadline`, however slowly the peer
// drains it; past the deadline it fails with EAGAIN ("Resource temporarily
// unavailable"), which may leave part of the bytes written.
Result<void> write_all_before(int fd, std::string_view bytes,
                              std::chrono::steady_clock::time_point deadline);

}  // namespace velkor::ipc
