#include "support/raw_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "support/process.h"

namespace velkor::test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

RawSocket::RawSocket(RawSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), buf_(std::move(other.buf_)) {}

RawSocket::~RawSocket() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<RawSocket> RawSocket::connect(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  RawSocket socket(fd);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
  return socket;
}

bool RawSocket::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void RawSocket::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

bool RawSocket::fill(Clock::time_point deadline, bool& ended) {
  pollfd p{fd_, POLLIN, 0};
  int r = ::poll(&p, 1, millis_until(deadline));
  if (r < 0 && errno == EINTR) return true;
  if (r <= 0) return false;
  char chunk[65536];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    ended = true;
    return false;
  }
  buf_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> RawSocket::read_line(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto nl = buf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      return line;
    }
    bool ended = false;
    if (!fill(deadline, ended)) return std::nullopt;
  }
}

std::optional<std::string> RawSocket::read_to_eof(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    bool ended = false;
    if (fill(deadline, ended)) continue;
    if (!ended) return std::nullopt;
    return std::exchange(buf_, {});
  }
}

}  // namespace velkor::test
