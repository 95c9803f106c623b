#include "error/io_error.h"

#include <cerrno>
#include <cstring>

namespace velkor::error {

std::string_view kind_description(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound:
      return "entity not found";
    case ErrorKind::kPermissionDenied:
      return "permission denied";
    case ErrorKind::kAlreadyExists:
      return "entity already exists";
    case ErrorKind::kInvalidInput:
      return "invalid input parameter";
    case ErrorKind::kInvalidData:
      return "invalid data";
    case ErrorKind::kWouldBlock:
      return "operation would block";
    case ErrorKind::kTimedOut:
      return "timed out";
    case ErrorKind::kUnexpectedEof:
      return "unexpected end of file";
    case ErrorKind::kBrokenPipe:
      return "broken pipe";
    case ErrorKind::kConnectionRefused:
      return "connection refused";
    case ErrorKind::kInterrupted:
      return "operation interrupted";
    case ErrorKind::kSpawnFailed:
      return "failed to spawn thread";
    case ErrorKind::kOther:
      return "other error";
  }
  return "other error";
}

ErrorKind kind_from_errno(int err) {
  switch (err) {
    case ENOENT:
      return ErrorKind::kNotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::kPermissionDenied;
    case EEXIST:
      return ErrorKind::kAlreadyExists;
    case EINVAL:
      return ErrorKind::kInvalidInput;
    case EAGAIN:
      return ErrorKind::kWouldBlock;
    case ETIMEDOUT:
      return ErrorKind::kTimedOut;
    case EPIPE:
      return ErrorKind::kBrokenPipe;
    case ECONNREFUSED:
      return ErrorKind::kConnectionRefused;
    case EINTR:
      return ErrorKind::kInterrupted;
    default:
      return ErrorKind::kOther;
  }
}

IoError IoError::from_errno(int err) {
  IoError e(kind_from_errno(err));
  e.os_error_ = err;
  return e;
}

std::string IoError::to_string() const {
  if (message_) return *message_;
  if (os_error_ != 0) {
    char buf[256];
    // The GNU variant may return a static string instead of filling buf.
    const char* text = strerror_r(os_error_, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(os_error_) + ")";
  }
  return std::string(kind_description(kind_));
}

}  // namespace velkor::error
