#pragma once

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "error/result.h"

namespace velkor {

// Starts a thread: a std::thread, or a std::jthread for an owner that keeps
// it as a member. A process that cannot start one cannot do its work, so it
// stops with "failed to spawn thread" rather than limp on.
template <typename Thread = std::thread, typename... Args>
Thread spawn(Args&&... args) {
  try {
    return Thread(std::forward<Args>(args)...);
  } catch (...) {  // std::system_error, or std::bad_alloc for its state
    std::fputs("failed to spawn thread\n", stderr);
    std::abort();
  }
}

// Starts a detached thread, for callers that can carry on without it: when
// none can be started the error is of kind kSpawnFailed, which no system
// call's errno maps to, so callers can tell it from any other failure.
template <typename... Args>
Result<void> try_spawn_detached(Args&&... args) {
  try {
    std::thread(std::forward<Args>(args)...).detach();
    return {};
  } catch (...) {
    return Unexpected(IoError(ErrorKind::kSpawnFailed));
  }
}

// As spawn, detached: the thread must own, or share ownership of,
// everything it touches.
template <typename... Args>
void spawn_detached(Args&&... args) {
  spawn(std::forward<Args>(args)...).detach();
}

}  // namespace velkor
