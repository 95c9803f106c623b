#include "support/fake_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ipc/names.h"
#include "ipc/path.h"
#include "ipc/random.h"

namespace velkor::test {
namespace {

// A TCP socket bound to 127.0.0.1 on a port the system picks; -1 on failure.
int bind_loopback(std::uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

bool publish_lock(const std::string& base_dir, const ipc::LockFile& lock) {
  std::string dir = ipc::join_path(base_dir, ipc::kRuntimeDirName);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  if (::chmod(dir.c_str(), 0700) != 0) return false;
  return lock.write_at(ipc::join_path(dir, ipc::kRunLockName)).has_value();
}

FakeBroker::FakeBroker(const std::string& base_dir) {
  fd_ = bind_loopback(port_);
  if (fd_ < 0 || ::listen(fd_, 16) != 0) return;
  auto secret = ipc::random_identifier();
  if (!secret) return;
  secret_ = *secret;
  ready_ =
      publish_lock(base_dir, ipc::LockFile{port_, secret_, static_cast<std::uint32_t>(::getpid())});
}

FakeBroker::~FakeBroker() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<RawSocket> FakeBroker::accept(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return std::nullopt;
  return RawSocket(fd);
}

RefusingPort::RefusingPort() { fd_ = bind_loopback(port_); }

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace velkor::test
