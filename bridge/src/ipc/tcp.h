#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"
#include "ipc/fd.h"
#include "protocol/stream.h"

namespace velkor::ipc {

// A TCP listener on 127.0.0.1. Owned by the broker's accept loop.
class TcpListener {
 public:
  // Binds 127.0.0.1:0; the system picks the port.
  static Result<TcpListener> bind_loopback();

  uint16_t port() const { return port_; }
  int fd() const { return fd_.get(); }
  Result<void> set_nonblocking();

  // A connection, or nullopt when none is waiting (non-blocking listener).
  // EINTR is reported as kInterrupted so the caller can loop at once.
  Result<std::optional<UniqueFd>> accept();

 private:
  TcpListener(UniqueFd fd, uint16_t port) : fd_(std::move(fd)), port_(port) {}
  UniqueFd fd_;
  uint16_t port_ = 0;
};

struct Listening {
  TcpListener listener;
  std::string secret;
  uint32_t pid = 0;
  uint16_t port = 0;
};

// Binds the broker's listener and makes a fresh connection secret.
Result<Listening> listen();

inline constexpr std::chrono::milliseconds kConnectTimeout{2000};
inline constexpr std::chrono::milliseconds kHandshakeTimeout{2000};
inline constexpr std::chrono::milliseconds kBrokerWriteTimeout{5000};
inline constexpr std::size_t kMaxHelloBytes = 256;

// Connects to the broker named by the lock file and writes the hello line
// ({"hello":S} or {"hello":S,"role":ROLE}). The stream is blocking, with no
// time limits. Before writing anything it makes sure the listening socket
// belongs to this user, so a stale lock file cannot hand our traffic to
// another user's process.
Result<UniqueFd> connect_as(std::optional<std::string_view> role);

// connect_as for a known port and secret (what the lock file holds).
Result<UniqueFd> connect_to(uint16_t port, std::string_view secret,
                            std::optional<std::string_view> role,
                            std::optional<uint32_t> broker_pid = std::nullopt);

// Connects to 127.0.0.1:port within `timeout`; returns a blocking socket.
Result<UniqueFd> connect_loopback(uint16_t port, std::chrono::milliseconds timeout);

enum class Role { kNativeHost, kMcp };

struct Authenticated {
  Role role;
  // Holds any bytes that followed the hello line.
  std::unique_ptr<protocol::BufReader> reader;
  UniqueFd writer;
};

// The verdict on one hello line (line feed included): the role it claims,
// or why the connection is refused. Pure, so it can be fuzzed.
Result<Role> parse_hello(std::string_view line, std::string_view secret);

// The broker's check of a freshly accepted connection: its first line must
// arrive by `deadline`, end within kMaxHelloBytes and carry the secret. The
// hello is read without blocking, so one thread can check many connections
// at once and a silent one delays nobody. The accept loop owns these; each
// closes its connection when dropped unfinished. Not thread-safe.
class PendingHello {
 public:
  // `conn` must already be non-blocking (set_nonblocking).
  PendingHello(UniqueFd conn, std::chrono::steady_clock::time_point deadline)
      : conn_(std::move(conn)), deadline_(deadline) {}

  int fd() const { return conn_.get(); }
  std::chrono::steady_clock::time_point deadline() const { return deadline_; }

  // Reads what has arrived; never waits. Returns nothing while the line is
  // incomplete and the deadline has not passed, else the checked connection
  // (made blocking again) or why it was refused. Past the deadline every
  // call gives a verdict, so call it when the socket is readable or the
  // deadline has come. Not to be called again after a verdict.
  std::optional<Result<Authenticated>> advance(std::string_view secret);

 private:
  UniqueFd conn_;
  std::chrono::steady_clock::time_point deadline_;
  std::string data_;
};

// Puts a freshly accepted socket in the state PendingHello reads it in.
Result<void> set_nonblocking(int fd);

// Sets SO_SNDTIMEO; writes that cannot complete in time fail with EAGAIN.
Result<void> set_write_timeout(int fd, std::chrono::milliseconds timeout);

// Shuts a socket down in both directions; errors are ignored.
void shutdown_both(int fd);

// Equal length and bytes, in time independent of where they differ.
bool constant_time_equal(std::string_view a, std::string_view b);

}  // namespace velkor::ipc
