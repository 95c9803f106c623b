#include "ipc/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ipc/lock_file.h"
#include "ipc/peer_owner.h"
#include "ipc/random.h"
#include "protocol/json.h"

namespace velkor::ipc {
namespace {

using Clock = std::chrono::steady_clock;

IoError last_error() { return IoError::from_errno(errno); }

sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

Result<void> set_blocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return Unexpected(last_error());
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (::fcntl(fd, F_SETFL, flags) < 0) return Unexpected(last_error());
  return {};
}

// Milliseconds left until `deadline`, rounded up so that a sub-millisecond
// remainder still waits instead of turning into "no limit" or a busy loop.
int millis_left(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms < 1 ? 1 : static_cast<int>(ms);
}

}  // namespace

Result<TcpListener> TcpListener::bind_loopback() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return Unexpected(last_error());
  sockaddr_in addr = loopback(0);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return Unexpected(last_error());
  }
  // The deepest queue the system allows: a burst of neighbours' connects
  // must not fill it and make a real client's SYN wait a retransmission.
  if (::listen(fd.get(), SOMAXCONN) != 0) return Unexpected(last_error());
  socklen_t len = sizeof addr;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return Unexpected(last_error());
  }
  return TcpListener(std::move(fd), ntohs(addr.sin_port));
}

Result<void> TcpListener::set_nonblocking() { return set_blocking(fd_.get(), false); }

Result<std::optional<UniqueFd>> TcpListener::accept() {
  // accept4 without SOCK_NONBLOCK: the accepted socket is blocking.
  int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) return std::optional<UniqueFd>(UniqueFd(fd));
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) return std::optional<UniqueFd>();
  // A connection reset before we took it is not the listener's failure.
  if (err == ECONNABORTED) return std::optional<UniqueFd>();
  return Unexpected(IoError::from_errno(err));
}

Result<Listening> listen() {
  auto listener = TcpListener::bind_loopback();
  if (!listener) return Unexpected(std::move(listener).error());
  auto secret = random_identifier();
  if (!secret) return Unexpected(std::move(secret).error());
  uint16_t port = listener->port();
  return Listening{std::move(*listener), std::move(*secret), static_cast<uint32_t>(::getpid()),
                   port};
}

Result<UniqueFd> connect_loopback(uint16_t port, std::chrono::milliseconds timeout) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return Unexpected(last_error());
  sockaddr_in addr = loopback(port);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    if (err != EINPROGRESS) return Unexpected(IoError::from_errno(err));
    auto deadline = Clock::now() + timeout;
    for (;;) {
      pollfd p{fd.get(), POLLOUT, 0};
      int r = ::poll(&p, 1, millis_left(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Unexpected(last_error());
      if (r == 0) {
        if (Clock::now() >= deadline) {
          return Unexpected(IoError(ErrorKind::kTimedOut, "connection timed out"));
        }
        continue;
      }
      break;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) {
      return Unexpected(last_error());
    }
    if (so_error != 0) return Unexpected(IoError::from_errno(so_error));
  }
  if (auto r = set_blocking(fd.get(), true); !r) return Unexpected(r.error());
  return fd;
}

Result<UniqueFd> connect_to(uint16_t port, std::string_view secret,
                            std::optional<std::string_view> role,
                            std::optional<uint32_t> broker_pid) {
  auto fd = connect_loopback(port, kConnectTimeout);
  if (!fd) return fd;
  if (auto owned = check_listener_owner(fd->get(), port, broker_pid); !owned) {
    return Unexpected(std::move(owned).error());
  }
  protocol::json::Json hello = protocol::json::Json::object();
  hello["hello"] = std::string(secret);
  if (role) hello["role"] = std::string(*role);
  std::string line = protocol::json::dump(hello);
  line += '\n';
  if (auto w = write_all_fd(fd->get(), line); !w) return Unexpected(std::move(w).error());
  return fd;
}

Result<UniqueFd> connect_as(std::optional<std::string_view> role) {
  auto lock = LockFile::read();
  if (!lock) return Unexpected(std::move(lock).error());
  if (!lock->has_value()) {
    return Unexpected(IoError(ErrorKind::kNotFound,
                              "velkor-computer-use lock file not found \xE2\x80\x94 is the MCP "
                              "server running?"));
  }
  const LockFile& found = **lock;
  return connect_to(found.port, found.secret, role, found.pid);
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  // Keep the compiler from turning the loop into an early-exit compare.
  volatile unsigned char result = diff;
  return result == 0;
}

namespace {

Result<Authenticated> finish_hello(UniqueFd conn, UniqueFd read_fd, std::string data,
                                   std::size_t line_end, std::string_view secret) {
  auto role = parse_hello(std::string_view(data.data(), line_end + 1), secret);
  if (!role) return Unexpected(std::move(role).error());
  if (auto r = set_write_timeout(conn.get(), kBrokerWriteTimeout); !r) {
    return Unexpected(r.error());
  }
  auto reader = std::make_unique<protocol::BufReader>(
      std::make_unique<FdSource>(std::move(read_fd)), data.substr(line_end + 1));
  return Authenticated{*role, std::move(reader), std::move(conn)};
}

// The hello line ends within the first `kMaxHelloBytes` bytes or the
// connection is refused; `data` holds what arrived so far.
std::optional<Result<void>> hello_length_check(const std::string& data, std::size_t& line_end) {
  line_end = data.find('\n');
  std::size_t line_len = line_end == std::string::npos ? data.size() + 1 : line_end + 1;
  if (line_len > kMaxHelloBytes) return Result<void>(Unexpected(IoError(ErrorKind::kInvalidData)));
  if (line_end == std::string::npos) return std::nullopt;
  return Result<void>();
}

}  // namespace

Result<Role> parse_hello(std::string_view line, std::string_view secret) {
  auto parsed = protocol::json::parse(line);
  if (!parsed) return Unexpected(std::move(parsed).error());
  const protocol::json::Json& hello = parsed->value;
  const std::string* given = protocol::json::find_string(hello, "hello");
  if (given == nullptr || !constant_time_equal(*given, secret)) {
    return Unexpected(IoError(ErrorKind::kPermissionDenied));
  }
  if (const std::string* r = protocol::json::find_string(hello, "role")) {
    if (*r != "mcp") return Unexpected(IoError(ErrorKind::kInvalidData));
    return Role::kMcp;
  }
  return Role::kNativeHost;
}

std::optional<Result<Authenticated>> PendingHello::advance(std::string_view secret) {
  char buf[kMaxHelloBytes + 1];
  for (;;) {
    ssize_t n = ::recv(conn_.get(), buf, sizeof buf, 0);
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        // Judged only once everything that has arrived is read, so a line
        // that came in time is not refused for being read late.
        if (Clock::now() >= deadline_) {
          return Result<Authenticated>(Unexpected(IoError(ErrorKind::kTimedOut)));
        }
        return std::nullopt;
      }
      return Result<Authenticated>(Unexpected(IoError::from_errno(err)));
    }
    if (n == 0) return Result<Authenticated>(Unexpected(IoError(ErrorKind::kUnexpectedEof)));
    data_.append(buf, static_cast<std::size_t>(n));
    std::size_t line_end = 0;
    auto checked = hello_length_check(data_, line_end);
    if (!checked) continue;
    if (!*checked) return Result<Authenticated>(Unexpected(checked->error()));
    if (auto r = set_blocking(conn_.get(), true); !r) {
      return Result<Authenticated>(Unexpected(r.error()));
    }
    auto read_fd = conn_.try_clone();
    if (!read_fd) return Result<Authenticated>(Unexpected(std::move(read_fd).error()));
    return finish_hello(std::move(conn_), std::move(*read_fd), std::move(data_), line_end, secret);
  }
}

Result<void> set_nonblocking(int fd) { return set_blocking(fd, false); }

Result<void> set_write_timeout(int fd, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    return Unexpected(last_error());
  }
  return {};
}

void shutdown_both(int fd) { ::shutdown(fd, SHUT_RDWR); }

}  // namespace velkor::ipc
