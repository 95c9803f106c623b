#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "error/result.h"

namespace velkor::ipc {

// The uid owning the accepting end of a connected loopback TCP socket, as
// the kernel's socket table records it. Tries the sock_diag netlink
// interface, then /proc/net/tcp. nullopt when neither can tell.
std::optional<uid_t> loopback_peer_uid(int connected_fd);

// Fails with kPermissionDenied "the process listening on 127.0.0.1:{port}
// belongs to another user (stale lock file?)" unless the accepting socket
// belongs to this process's effective user. Where the socket table cannot
// be read, falls back to `broker_pid` (the lock file's) naming a live
// process we may signal; without a pid it refuses.
Result<void> check_listener_owner(int connected_fd, uint16_t port,
                                  std::optional<uint32_t> broker_pid = std::nullopt);

}  // namespace velkor::ipc
