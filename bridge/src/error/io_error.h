#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velkor::error {

enum class ErrorKind {
  kNotFound,
  kPermissionDenied,
  kAlreadyExists,
  kInvalidInput,
  kInvalidData,
  kWouldBlock,
  kTimedOut,
  kUnexpectedEof,
  kBrokenPipe,
  kConnectionRefused,
  kInterrupted,
  // No thread could be started; the process is out of threads or memory.
  kSpawnFailed,
  kOther,
};

// The description a kind prints as when the error carries no text of its own.
std::string_view kind_description(ErrorKind kind);

// One I/O failure: a kind, an optional message and an optional OS error
// number. It prints as its message when it has one, else as the OS error's
// text followed by " (os error N)", else as the kind's description.
class IoError {
 public:
  IoError() = default;
  explicit IoError(ErrorKind kind) : kind_(kind) {}
  IoError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  // An error from a failed system call; pass the errno saved right after it.
  static IoError from_errno(int err);

  ErrorKind kind() const { return kind_; }
  int os_error() const { return os_error_; }
  const std::optional<std::string>& message() const { return message_; }

  std::string to_string() const;

 private:
  ErrorKind kind_ = ErrorKind::kOther;
  std::optional<std::string> message_;
  int os_error_ = 0;
};

ErrorKind kind_from_errno(int err);

}  // namespace velkor::error

namespace velkor {

// Every module reports I/O failures, so the error keeps its short name in
// the project namespace too.
using error::ErrorKind;
using error::IoError;
using error::kind_description;
using error::kind_from_errno;

}  // namespace velkor
