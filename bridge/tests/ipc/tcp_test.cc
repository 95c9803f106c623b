#include "ipc/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "ipc/fd.h"
#include "ipc/lock_file.h"
#include "ipc/peer_owner.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace velkor::ipc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TempDir;

// Handshake tests judge hellos against a fixed secret, so that its
// upper-case form is known to differ.
constexpr char kSecret[] = "0123456789abcdef0123456789abcdef";
constexpr char kNoLockFile[] =
    "velkor-computer-use lock file not found \xE2\x80\x94 is the MCP server running?";
constexpr char kRefused[] = "Connection refused (os error 111)";

// Writes without raising SIGPIPE when the broker side already closed.
bool send_bytes(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Everything `fd` delivers until its peer closes, waiting at most 5 s for
// each piece.
std::string read_to_eof(int fd) {
  std::string out;
  char buf[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) {
      ADD_FAILURE() << "peer neither wrote nor closed";
      return out;
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// A TCP socket bound to a loopback port but not listening: connecting to
// that port is refused, and no other process can take the port meanwhile.
struct DeadPort {
  UniqueFd fd;
  uint16_t port = 0;
};

DeadPort dead_port() {
  DeadPort out;
  out.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  EXPECT_EQ(::bind(out.fd.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  EXPECT_EQ(::getsockname(out.fd.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  out.port = ntohs(addr.sin_port);
  return out;
}

std::string hello_line(std::string_view secret) {
  return "{\"hello\":\"" + std::string(secret) + "\"}\n";
}

// A hello carrying kSecret, padded with an extra member to exactly `size`
// bytes including its line feed.
std::string padded_hello(std::size_t size) {
  const std::string head = "{\"hello\":\"" + std::string(kSecret) + "\",\"pad\":\"";
  const std::string tail = "\"}\n";
  return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

// Checks a hello as the accept loop does: the connection made non-blocking,
// advanced whenever it is readable or its deadline `timeout` from now has
// come. Past the deadline every advance gives a verdict, so this ends.
Result<Authenticated> await_hello(UniqueFd conn, std::string_view secret,
                                  std::chrono::milliseconds timeout = kHandshakeTimeout) {
  if (auto r = set_nonblocking(conn.get()); !r) return Unexpected(r.error());
  PendingHello hello(std::move(conn), Clock::now() + timeout);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(hello.deadline() - Clock::now());
    pollfd p{hello.fd(), POLLIN, 0};
    (void)::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (auto done = hello.advance(secret)) return std::move(*done);
  }
}

// "mcp", "native host", or the error's text.
std::string outcome(const Result<Authenticated>& r) {
  if (!r) return r.error().to_string();
  return r->role == Role::kMcp ? "mcp" : "native host";
}

TEST(ListenTest, LoopbackOnlyWithAFreshSecret) {
  auto first = listen();
  ASSERT_TRUE(first.has_value()) << first.error().to_string();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(first->listener.fd(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  EXPECT_EQ(addr.sin_family, AF_INET);
  EXPECT_EQ(ntohl(addr.sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_NE(first->port, 0);
  EXPECT_EQ(ntohs(addr.sin_port), first->port);
  EXPECT_EQ(first->listener.port(), first->port);
  EXPECT_EQ(first->pid, static_cast<uint32_t>(::getpid()));
  EXPECT_NE(::fcntl(first->listener.fd(), F_GETFD) & FD_CLOEXEC, 0);

  ASSERT_EQ(first->secret.size(), 32u);
  EXPECT_EQ(first->secret.find_first_not_of("0123456789abcdef"), std::string::npos)
      << first->secret;

  auto second = listen();
  ASSERT_TRUE(second.has_value()) << second.error().to_string();
  EXPECT_NE(second->secret, first->secret);
  EXPECT_NE(second->port, first->port);
}

TEST(ConstantTimeEqualTest, TruthTable) {
  using std::string_view;
  const struct {
    string_view a;
    string_view b;
    bool equal;
  } cases[] = {
      {"", "", true},
      {"a", "a", true},
      {kSecret, kSecret, true},
      {string_view("a\0b", 3), string_view("a\0b", 3), true},
      {"a", "b", false},
      {"", "a", false},
      {"a", "", false},
      {"ab", "a", false},
      {"a", "ab", false},
      {"xbc", "abc", false},
      {"abx", "abc", false},
      {"\x80", string_view("\0", 1), false},
      {string_view("a\0b", 3), string_view("a\0c", 3), false},
      {string_view("a\0", 2), "a", false},
      {kSecret, "0123456789ABCDEF0123456789ABCDEF", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(constant_time_equal(c.a, c.b), c.equal) << c.a << " / " << c.b;
  }
}

// One listener per test; each connection is the client end plus the end
// the broker accepted.
class HandshakeTest : public ::testing::Test {
 protected:
  struct Link {
    UniqueFd client;
    UniqueFd server;
  };

  void SetUp() override {
    auto bound = TcpListener::bind_loopback();
    ASSERT_TRUE(bound.has_value()) << bound.error().to_string();
    listener_.emplace(std::move(*bound));
  }

  void open_link(Link& link) {
    auto client = connect_loopback(listener_->port(), kConnectTimeout);
    ASSERT_TRUE(client.has_value()) << client.error().to_string();
    link.client = std::move(*client);
    auto accepted = listener_->accept();
    ASSERT_TRUE(accepted.has_value()) << accepted.error().to_string();
    ASSERT_TRUE(accepted->has_value());
    link.server = std::move(**accepted);
  }

  // Writes `bytes` on a fresh connection and runs the check on it.
  Result<Authenticated> check_sent(std::string_view bytes,
                                   std::chrono::milliseconds timeout = kHandshakeTimeout) {
    Link link;
    open_link(link);
    EXPECT_TRUE(send_bytes(link.client.get(), bytes));
    return await_hello(std::move(link.server), kSecret, timeout);
  }

  std::optional<TcpListener> listener_;
};

TEST_F(HandshakeTest, RoleAndSecret) {
  const std::string s = kSecret;
  const std::string upper = "0123456789ABCDEF0123456789ABCDEF";
  const struct {
    std::string line;
    std::string want;
  } cases[] = {
      {"{\"hello\":\"" + s + "\"}\n", "native host"},
      {"{\"hello\":\"" + s + "\",\"role\":\"mcp\"}\n", "mcp"},
      {"{\"role\":\"mcp\",\"hello\":\"" + s + "\"}\n", "mcp"},
      {" { \"hello\" : \"" + s + "\" } \r\n", "native host"},
      {"{\"hello\":\"" + s + "\",\"role\":7}\n", "native host"},
      {"{\"hello\":\"" + s + "\",\"role\":null}\n", "native host"},
      {"{\"hello\":\"" + s + "\",\"role\":[\"mcp\"]}\n", "native host"},
      {"{\"hello\":\"" + s + "\",\"role\":\"native-host\"}\n", "invalid data"},
      {"{\"hello\":\"" + s + "\",\"role\":\"MCP\"}\n", "invalid data"},
      {"{\"hello\":\"" + s + "\",\"role\":\"\"}\n", "invalid data"},
      {"{\"hello\":\"" + upper + "\"}\n", "permission denied"},
      {"{\"hello\":\"" + s.substr(0, 31) + "\"}\n", "permission denied"},
      {"{\"hello\":\"" + s + "0\"}\n", "permission denied"},
      {"{\"hello\":\"\"}\n", "permission denied"},
      {"{\"hello\":7}\n", "permission denied"},
      {"{\"Hello\":\"" + s + "\"}\n", "permission denied"},
      {"{\"role\":\"mcp\"}\n", "permission denied"},
      {"[\"" + s + "\"]\n", "permission denied"},
      {"\"" + s + "\"\n", "permission denied"},
      // The secret is judged before the role.
      {"{\"hello\":\"x\",\"role\":\"native-host\"}\n", "permission denied"},
      {"hello\n",
       "parse error at line 1, column 1: syntax error while parsing value - invalid literal; last "
       "read: 'h'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(check_sent(c.line)), c.want) << c.line;
  }

  auto not_json = check_sent("hello\n");
  ASSERT_FALSE(not_json.has_value());
  EXPECT_EQ(not_json.error().kind(), ErrorKind::kInvalidData);
}

TEST_F(HandshakeTest, HelloOf256BytesIsTheLongestAccepted) {
  const std::string longest = padded_hello(256);
  ASSERT_EQ(longest.size(), 256u);
  EXPECT_EQ(outcome(check_sent(longest)), "native host");

  // 256 bytes without a line feed already make a line of 257: refused at
  // once, without waiting for the line feed that never comes.
  const std::string too_long = padded_hello(257);
  auto refused = check_sent(std::string_view(too_long).substr(0, 256), 1s);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(refused.error().to_string(), "invalid data");

  // 255 bytes could still end in a line feed: the check waits for it.
  EXPECT_EQ(outcome(check_sent(std::string_view(longest).substr(0, 255), 200ms)), "timed out");
}

TEST_F(HandshakeTest, BytesAfterTheHelloStayInTheReader) {
  Link link;
  ASSERT_NO_FATAL_FAILURE(open_link(link));
  const std::string first = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\"}\n";
  ASSERT_TRUE(send_bytes(link.client.get(), "{\"hello\":\"" + std::string(kSecret) +
                                                "\",\"role\":\"mcp\"}\n" + first + "part"));
  auto auth = await_hello(std::move(link.server), kSecret);
  ASSERT_TRUE(auth.has_value()) << auth.error().to_string();
  EXPECT_EQ(auth->role, Role::kMcp);

  std::string line;
  auto n = auth->reader->read_line(line, 65536);
  ASSERT_TRUE(n.has_value()) << n.error().to_string();
  EXPECT_EQ(line, first);

  // The reader goes on from the socket after the bytes it was handed.
  ASSERT_TRUE(send_bytes(link.client.get(), "ial\n"));
  line.clear();
  n = auth->reader->read_line(line, 65536);
  ASSERT_TRUE(n.has_value()) << n.error().to_string();
  EXPECT_EQ(line, "partial\n");

  // The write handle reaches the client.
  ASSERT_TRUE(write_all_fd(auth->writer.get(), "answer\n").has_value());
  char buf[7] = {};
  EXPECT_EQ(::recv(link.client.get(), buf, sizeof buf, MSG_WAITALL), 7);
  EXPECT_EQ(std::string(buf, sizeof buf), "answer\n");
}

TEST_F(HandshakeTest, LongLineAfterTheHelloIsNotCountedAgainstIt) {
  Link link;
  ASSERT_NO_FATAL_FAILURE(open_link(link));
  const std::string next = std::string(6000, 'x') + "\n";
  ASSERT_TRUE(send_bytes(link.client.get(), hello_line(kSecret) + next));
  auto auth = await_hello(std::move(link.server), kSecret);
  ASSERT_TRUE(auth.has_value()) << auth.error().to_string();
  EXPECT_EQ(auth->role, Role::kNativeHost);
  std::string line;
  ASSERT_TRUE(auth->reader->read_line(line, 65536).has_value());
  EXPECT_EQ(line, next);
}

TEST_F(HandshakeTest, AcceptedConnectionIsBlockingWithAWriteLimitOnly) {
  Link link;
  ASSERT_NO_FATAL_FAILURE(open_link(link));
  ASSERT_TRUE(send_bytes(link.client.get(), hello_line(kSecret)));
  // Read without blocking, the connection is handed on blocking again.
  auto auth = await_hello(std::move(link.server), kSecret, 300ms);
  ASSERT_TRUE(auth.has_value()) << auth.error().to_string();

  const int fd = auth->writer.get();
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  timeval tv{};
  socklen_t len = sizeof tv;
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 5);
  EXPECT_EQ(tv.tv_usec, 0);
  len = sizeof tv;
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 0);
}

TEST_F(HandshakeTest, PeerThatClosesEarly) {
  for (std::string_view sent : {std::string_view(""), std::string_view("{\"hello\":\"0123")}) {
    Link link;
    ASSERT_NO_FATAL_FAILURE(open_link(link));
    ASSERT_TRUE(send_bytes(link.client.get(), sent));
    link.client.reset();
    auto r = await_hello(std::move(link.server), kSecret, 1s);
    ASSERT_FALSE(r.has_value()) << sent;
    EXPECT_EQ(r.error().kind(), ErrorKind::kUnexpectedEof) << sent;
    EXPECT_EQ(r.error().to_string(), "unexpected end of file") << sent;
  }
}

TEST_F(HandshakeTest, SilentClientTimesOut) {
  Link link;
  ASSERT_NO_FATAL_FAILURE(open_link(link));
  auto start = Clock::now();
  auto r = await_hello(std::move(link.server), kSecret, 300ms);
  auto elapsed = Clock::now() - start;
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kTimedOut);
  EXPECT_EQ(r.error().to_string(), "timed out");
  EXPECT_GE(elapsed, 300ms);
  // The deadline given, not the broker's 2-second limit, bounds the wait.
  EXPECT_LT(elapsed, 1500ms);
}

// True once `fd` has something to read, or its peer closed; false after 5 s.
bool wait_readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 5000) == 1;
}

TEST_F(HandshakeTest, AdvanceTakesTheHelloByteByByteWithoutWaiting) {
  Link link;
  ASSERT_NO_FATAL_FAILURE(open_link(link));
  ASSERT_TRUE(set_nonblocking(link.server.get()).has_value());
  // A deadline far off: only the line may bring the verdict here.
  PendingHello hello(std::move(link.server), Clock::now() + 60s);
  // Nothing sent yet: no verdict, and no wait for one.
  EXPECT_FALSE(hello.advance(kSecret).has_value());
  const std::string line = hello_line(kSecret);
  for (std::size_t i = 0; i < line.size(); ++i) {
    ASSERT_TRUE(send_bytes(link.client.get(), line.substr(i, 1)));
    ASSERT_TRUE(wait_readable(hello.fd())) << i;
    auto done = hello.advance(kSecret);
    if (i + 1 < line.size()) {
      ASSERT_FALSE(done.has_value()) << "a verdict after byte " << i;
    } else {
      ASSERT_TRUE(done.has_value()) << "no verdict after the line feed";
      EXPECT_EQ(outcome(*done), "native host");
    }
  }
}

// Sends `bytes` one at a time, byte i at `i * step` after the start, until
// all are sent, the peer is gone, or the thread is asked to stop. `fd` must
// outlive the thread.
std::jthread dribble(int fd, std::string bytes, std::chrono::milliseconds step) {
  int one = 1;
  // Each byte leaves at once instead of waiting for the previous one's
  // acknowledgement.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return std::jthread([fd, bytes = std::move(bytes), step](std::stop_token stop) {
    auto start = Clock::now();
    for (std::size_t i = 0; i < bytes.size() && !stop.stop_requested(); ++i) {
      std::this_thread::sleep_until(start + i * step);
      if (!send_bytes(fd, std::string_view(bytes).substr(i, 1))) return;
    }
  });
}

TEST_F(HandshakeTest, HelloDribbledWithinTheDeadlineIsAccepted) {
  Link link;
  ASSERT_NO_FATAL_FAILURE(open_link(link));
  const std::string hello = hello_line(kSecret);
  ASSERT_EQ(hello.size(), 45u);
  // The last byte leaves about 352 ms in, well inside the 1.5 s deadline
  // even on a loaded machine.
  std::jthread writer = dribble(link.client.get(), hello, 8ms);
  auto r = await_hello(std::move(link.server), kSecret, 1500ms);
  EXPECT_EQ(outcome(r), "native host");
}

TEST_F(HandshakeTest, HelloDribbledPastTheDeadlineTimesOut) {
  Link link;
  ASSERT_NO_FATAL_FAILURE(open_link(link));
  // Every gap is a fifth of the limit, but the whole line would take 1.76 s:
  // the limit is on the line, not on each read.
  std::jthread writer = dribble(link.client.get(), hello_line(kSecret), 40ms);
  auto start = Clock::now();
  auto r = await_hello(std::move(link.server), kSecret, 200ms);
  auto elapsed = Clock::now() - start;
  EXPECT_EQ(outcome(r), "timed out");
  EXPECT_GE(elapsed, 200ms);
  EXPECT_LT(elapsed, 1500ms);
}

class ConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto l = listen();
    ASSERT_TRUE(l.has_value()) << l.error().to_string();
    listening_.emplace(std::move(*l));
  }

  UniqueFd accept_one() {
    auto accepted = listening_->listener.accept();
    EXPECT_TRUE(accepted.has_value() && accepted->has_value());
    if (!accepted || !accepted->has_value()) return UniqueFd();
    return std::move(**accepted);
  }

  // Writes a lock file naming `port` into a fresh runtime directory under
  // `base`.
  static void write_lock_file(const TempDir& base, uint16_t port, const std::string& secret) {
    const std::string dir = base.file("velkor-computer-use");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    LockFile record{port, secret, static_cast<uint32_t>(::getpid())};
    auto w = record.write_at(dir + "/run.lock");
    ASSERT_TRUE(w.has_value()) << w.error().to_string();
  }

  std::optional<Listening> listening_;
};

TEST_F(ConnectTest, ConnectToWritesExactlyTheHelloLine) {
  const std::string& s = listening_->secret;
  const struct {
    std::optional<std::string_view> role;
    std::string want;
  } cases[] = {
      {"mcp", "{\"hello\":\"" + s + "\",\"role\":\"mcp\"}\n"},
      {std::nullopt, "{\"hello\":\"" + s + "\"}\n"},
  };
  for (const auto& c : cases) {
    auto client = connect_to(listening_->port, s, c.role);
    ASSERT_TRUE(client.has_value()) << client.error().to_string();
    EXPECT_EQ(::fcntl(client->get(), F_GETFL) & O_NONBLOCK, 0);
    UniqueFd server = accept_one();
    client->reset();
    EXPECT_EQ(read_to_eof(server.get()), c.want);
  }
}

TEST_F(ConnectTest, NobodyListening) {
  DeadPort dead = dead_port();
  auto r = connect_loopback(dead.port, kConnectTimeout);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kConnectionRefused);
  EXPECT_EQ(r.error().to_string(), kRefused);

  auto hello = connect_to(dead.port, kSecret, "mcp");
  ASSERT_FALSE(hello.has_value());
  EXPECT_EQ(hello.error().to_string(), kRefused);
}

TEST_F(ConnectTest, ListenerBelongsToThisUser) {
  auto client = connect_loopback(listening_->port, kConnectTimeout);
  ASSERT_TRUE(client.has_value()) << client.error().to_string();
  // Still waiting in the listener's queue, then accepted.
  EXPECT_EQ(loopback_peer_uid(client->get()), std::optional<uid_t>(::geteuid()));
  auto owned = check_listener_owner(client->get(), listening_->port);
  EXPECT_TRUE(owned.has_value()) << owned.error().to_string();
  UniqueFd server = accept_one();
  EXPECT_EQ(loopback_peer_uid(client->get()), std::optional<uid_t>(::geteuid()));

  // Neither an unconnected TCP socket nor a local socket has a loopback peer.
  UniqueFd loose(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(loopback_peer_uid(loose.get()), std::optional<uid_t>());
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd a(pair[0]);
  UniqueFd b(pair[1]);
  EXPECT_EQ(loopback_peer_uid(a.get()), std::optional<uid_t>());
}

// Kills and reaps a forked child when the test ends, however it ends.
class ForkedChild {
 public:
  explicit ForkedChild(pid_t pid) : pid_(pid) {}
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;
  ~ForkedChild() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  // The exit status, once the child has ended.
  int wait() {
    int status = 0;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_;
};

TEST_F(ConnectTest, RefusesAListenerOfAnotherUserBeforeWritingAnything) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  // The fallback for a kernel without a socket table must not vouch for the
  // listener either: no lock file names a live broker.
  TempDir runtime;
  test::ScopedEnv env("VELKOR_COMPUTER_USE_RUNTIME_DIR", runtime.path());

  int port_pipe[2];
  int count_pipe[2];
  ASSERT_EQ(::pipe2(port_pipe, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(count_pipe, O_CLOEXEC), 0);
  UniqueFd port_in(port_pipe[0]);
  UniqueFd port_out(port_pipe[1]);
  UniqueFd count_in(count_pipe[0]);
  UniqueFd count_out(count_pipe[1]);

  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Only system calls from here on: the child of a test process.
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ::_exit(3);
    }
    uint16_t port = ntohs(addr.sin_port);
    if (::write(port_pipe[1], &port, sizeof port) != sizeof port) ::_exit(4);
    int c = ::accept(s, nullptr, nullptr);
    if (c < 0) ::_exit(5);
    uint32_t total = 0;
    char buf[512];
    ssize_t n;
    while ((n = ::read(c, buf, sizeof buf)) > 0) total += static_cast<uint32_t>(n);
    if (::write(count_pipe[1], &total, sizeof total) != sizeof total) ::_exit(6);
    ::_exit(0);
  }
  ForkedChild child(pid);
  port_out.reset();
  count_out.reset();

  uint16_t port = 0;
  if (::read(port_in.get(), &port, sizeof port) != sizeof port) {
    int status = child.wait();
    if (status == 2) GTEST_SKIP() << "cannot switch to another user here";
    FAIL() << "listener child failed with status " << status;
  }

  auto r = connect_to(port, kSecret, "mcp");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kPermissionDenied);
  EXPECT_EQ(r.error().to_string(), "the process listening on 127.0.0.1:" + std::to_string(port) +
                                       " belongs to another user (stale lock file?)");

  // The refused connection is closed; the other user's process saw no byte.
  pollfd p{count_in.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  uint32_t received = 99;
  ASSERT_EQ(::read(count_in.get(), &received, sizeof received),
            static_cast<ssize_t>(sizeof received));
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(ConnectTest, ConnectAsFollowsTheLockFile) {
  {
    TempDir empty;
    test::ScopedEnv env("VELKOR_COMPUTER_USE_RUNTIME_DIR", empty.path());
    auto r = connect_as("mcp");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::kNotFound);
    EXPECT_EQ(r.error().to_string(), kNoLockFile);
  }
  {
    // A broker that died left its lock file behind.
    TempDir stale;
    DeadPort dead = dead_port();
    ASSERT_NO_FATAL_FAILURE(write_lock_file(stale, dead.port, kSecret));
    test::ScopedEnv env("VELKOR_COMPUTER_USE_RUNTIME_DIR", stale.path());
    auto r = connect_as("mcp");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), kRefused);
  }
  {
    TempDir live;
    ASSERT_NO_FATAL_FAILURE(write_lock_file(live, listening_->port, listening_->secret));
    test::ScopedEnv env("VELKOR_COMPUTER_USE_RUNTIME_DIR", live.path());
    const struct {
      std::optional<std::string_view> role;
      std::string want;
    } cases[] = {{"mcp", "mcp"}, {std::nullopt, "native host"}};
    for (const auto& c : cases) {
      auto client = connect_as(c.role);
      ASSERT_TRUE(client.has_value()) << client.error().to_string();
      auto auth = await_hello(accept_one(), listening_->secret, 1s);
      EXPECT_EQ(outcome(auth), c.want);
    }
  }
}

}  // namespace
}  // namespace velkor::ipc
