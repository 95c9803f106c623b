#pragma once

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace velkor {

// Starts a thread. A process that cannot start one cannot do its work, so
// it stops with "failed to spawn thread" rather than limp on.
template <typename... Args>
std::thread spawn(Args&&... args) {
  try {
    return std::thread(std::forward<Args>(args)...);
  } catch (const std::system_error&) {
    std::fputs("failed to spawn thread\n", stderr);
    std::abort();
  }
}

// As spawn, detached: the thread must own, or share ownership of,
// everything it touches.
template <typename... Args>
void spawn_detached(Args&&... args) {
  spawn(std::forward<Args>(args)...).detach();
}

}  // namespace velkor
