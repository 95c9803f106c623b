// After a broker dies, another local user can listen on its stale port.
// Clients must refuse that listener before sending it a single byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ipc/lock_file.h"
#include "support/peers.h"

namespace velkor::test {
namespace {

constexpr uid_t kNobody = 65534;

// A listener in a child process running as another user. It accepts every
// connection and forwards whatever bytes arrive to the parent through a pipe.
class ForeignListener {
 public:
  explicit ForeignListener(uint16_t port) {
    int ready[2], bytes[2];
    if (::pipe(ready) != 0 || ::pipe(bytes) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(bytes[0]);
      // Only async-signal-safe calls from here: the parent has threads.
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(port);
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
          ::listen(fd, 16) != 0) {
        ::_exit(3);
      }
      char ok = 'r';
      (void)::write(ready[1], &ok, 1);
      pollfd fds[64];
      nfds_t n = 1;
      fds[0] = {fd, POLLIN, 0};
      for (;;) {
        if (::poll(fds, n, -1) < 0) continue;
        if ((fds[0].revents & POLLIN) && n < 64) {
          int c = ::accept(fd, nullptr, nullptr);
          if (c >= 0) fds[n++] = {c, POLLIN, 0};
        }
        for (nfds_t i = 1; i < n; ++i) {
          if (fds[i].revents == 0) continue;
          char buf[512];
          ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
          if (got > 0) (void)::write(bytes[1], buf, static_cast<size_t>(got));
          if (got <= 0) fds[i].events = 0;
        }
      }
    }
    ::close(ready[1]);
    ::close(bytes[1]);
    char c = 0;
    ok_ = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    bytes_ = bytes[0];
  }
  ~ForeignListener() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(bytes_);
  }
  bool ok() const { return ok_; }
  // Bytes that reached the listener so far.
  std::string received() {
    std::string out;
    pollfd p{bytes_, POLLIN, 0};
    char buf[512];
    while (::poll(&p, 1, 0) > 0) {
      ssize_t n = ::read(bytes_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  pid_t pid_ = -1;
  int bytes_ = -1;
  bool ok_ = false;
};

TEST(ForeignListenerTest, ClientsRefuseAnotherUsersListenerOnAStalePort) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a listener as another user";
  TempDir tmp;
  // The directory must be reachable for the other user to bind nothing in
  // it; it only binds a port, so nothing to open up here.
  auto broker = std::make_unique<BrokerProcess>(tmp.path());
  ASSERT_TRUE(broker->ready());
  auto lock = ipc::LockFile::read_at(broker->lock_path());
  ASSERT_TRUE(lock && lock->has_value());
  const uint16_t port = (*lock)->port;
  broker->child().kill(SIGKILL);
  ASSERT_TRUE(broker->child().wait());

  ForeignListener foreign(port);
  ASSERT_TRUE(foreign.ok());
  const std::string refusal = "the process listening on 127.0.0.1:" + std::to_string(port) +
                              " belongs to another user (stale lock file?)";

  Child mcp(host_exe(), {"mcp"}, runtime_env(tmp.path()));
  EXPECT_EQ(mcp.wait(), 1);
  EXPECT_EQ(mcp.stderr_text(), "velkor-computer-use-host: " + refusal + "\n");

  FakeExtension ext(tmp.path());
  auto waiting = ext.child().wait_stderr("waiting for MCP server");
  ASSERT_TRUE(waiting);
  EXPECT_EQ(*waiting, "[INFO] [native-host] waiting for MCP server (" + refusal + ")");
  EXPECT_EQ(foreign.received(), "");

  // A new broker of ours publishes a fresh lock file; the same native host
  // reaches it on its next retry.
  BrokerProcess fresh(tmp.path());
  ASSERT_TRUE(fresh.ready()) << fresh.child().stderr_text();
  ASSERT_TRUE(ext.child().wait_stderr("connected to MCP server bridge socket"));
  auto reply = ext.announce_default();
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["data"]["ready"], true);
  EXPECT_EQ(foreign.received(), "");
}

}  // namespace
}  // namespace velkor::test
