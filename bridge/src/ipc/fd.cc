#include "ipc/fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace velkor::ipc {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Result<UniqueFd> UniqueFd::try_clone() const {
  int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Unexpected(IoError::from_errno(errno));
  return UniqueFd(fd);
}

Result<std::size_t> FdSource::read_some(char* buf, std::size_t n) {
  for (;;) {
    ssize_t got = ::read(fd_, buf, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    int err = errno;
    if (err != EINTR) return Unexpected(IoError::from_errno(err));
  }
}

Result<void> write_all_fd(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      return Unexpected(IoError::from_errno(err));
    }
    if (n == 0) return Unexpected(IoError(ErrorKind::kOther, "failed to write whole buffer"));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> FdSink::write_all(std::string_view bytes) { return write_all_fd(fd_, bytes); }

Result<void> write_all_before(int fd, std::string_view bytes,
                              std::chrono::steady_clock::time_point deadline) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK) return Unexpected(IoError::from_errno(err));
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Unexpected(IoError::from_errno(EAGAIN));
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      return Unexpected(IoError::from_errno(errno));
    }
  }
  return {};
}

}  // namespace velkor::ipc
