#include "ipc/peer_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "ipc/fd.h"

namespace velkor::ipc {
namespace {

struct FourTuple {
  sockaddr_in local{};
  sockaddr_in remote{};
};

std::optional<FourTuple> tuple_of(int fd) {
  FourTuple t;
  socklen_t len = sizeof t.local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&t.local), &len) != 0) return std::nullopt;
  len = sizeof t.remote;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&t.remote), &len) != 0) return std::nullopt;
  if (t.local.sin_family != AF_INET || t.remote.sin_family != AF_INET) return std::nullopt;
  return t;
}

// Exact lookup of the server-side socket of our connection: its source is
// the broker's address, its destination ours. A socket accepted from a
// listener (or still queued on it) carries the listener's owner.
std::optional<uid_t> uid_from_netlink(const FourTuple& t) {
  UniqueFd nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!nl) return std::nullopt;
  timeval tv{1, 0};
  ::setsockopt(nl.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg{};
  msg.nlh.nlmsg_len = sizeof msg;
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST;
  msg.nlh.nlmsg_seq = 1;
  msg.req.sdiag_family = AF_INET;
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = ~0U;
  msg.req.id.idiag_sport = t.remote.sin_port;
  msg.req.id.idiag_dport = t.local.sin_port;
  msg.req.id.idiag_src[0] = t.remote.sin_addr.s_addr;
  msg.req.id.idiag_dst[0] = t.local.sin_addr.s_addr;
  msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(nl.get(), &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
      0) {
    return std::nullopt;
  }
  alignas(nlmsghdr) char buf[8192];
  ssize_t n;
  do {
    n = ::recv(nl.get(), buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  // Walked by hand: the NLMSG_OK macro mixes signed and unsigned types.
  std::size_t left = static_cast<std::size_t>(n);
  for (char* at = buf; left >= sizeof(nlmsghdr);) {
    auto* h = reinterpret_cast<nlmsghdr*>(at);
    if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > left) return std::nullopt;
    std::size_t step = NLMSG_ALIGN(h->nlmsg_len);
    at += step;
    left = step < left ? left - step : 0;
    if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) return std::nullopt;
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
    auto* diag = static_cast<inet_diag_msg*>(NLMSG_DATA(h));
    if (diag->id.idiag_sport == t.remote.sin_port && diag->id.idiag_dport == t.local.sin_port) {
      return static_cast<uid_t>(diag->idiag_uid);
    }
  }
  return std::nullopt;
}

// /proc/net/tcp writes addresses as the raw 32-bit word in hex and ports in
// host-order hex.
std::string proc_endpoint(const sockaddr_in& a) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X:%04X", a.sin_addr.s_addr, ntohs(a.sin_port));
  return text;
}

std::optional<uid_t> uid_from_proc(const FourTuple& t) {
  std::ifstream in("/proc/net/tcp");
  if (!in) return std::nullopt;
  const std::string want_local = proc_endpoint(t.remote);
  const std::string want_remote = proc_endpoint(t.local);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits;
    unsigned long uid = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) {
      continue;
    }
    if (local == want_local && remote == want_remote) return static_cast<uid_t>(uid);
  }
  return std::nullopt;
}

}  // namespace

std::optional<uid_t> loopback_peer_uid(int connected_fd) {
  auto t = tuple_of(connected_fd);
  if (!t) return std::nullopt;
  if (auto uid = uid_from_netlink(*t)) return uid;
  return uid_from_proc(*t);
}

Result<void> check_listener_owner(int connected_fd, uint16_t port,
                                  std::optional<uint32_t> broker_pid) {
  if (auto uid = loopback_peer_uid(connected_fd)) {
    if (*uid == ::geteuid()) return {};
  } else if (broker_pid && *broker_pid != 0 && ::kill(static_cast<pid_t>(*broker_pid), 0) == 0) {
    // No socket table to ask: the broker the lock file names must at least
    // be alive and ours, which kill(pid, 0) tells without sending anything.
    return {};
  }
  return Unexpected(IoError(ErrorKind::kPermissionDenied,
                            "the process listening on 127.0.0.1:" + std::to_string(port) +
                                " belongs to another user (stale lock file?)"));
}

}  // namespace velkor::ipc
