#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ipc/lock_file.h"
#include "support/raw_socket.h"

namespace velkor::test {

// Creates the runtime directory under `base_dir` (mode 0700) if needed and
// publishes `lock` as its "run.lock", the way a broker does. False on any
// failure.
bool publish_lock(const std::string& base_dir, const ipc::LockFile& lock);

// Plays the broker at the socket level: a listener on 127.0.0.1 published
// in "run.lock" under `base_dir` with a fresh secret and this process's id,
// so that relays started on that directory connect to the test and every
// byte they exchange can be checked. Owned by one test thread; the
// destructor closes the listener (the lock file stays, stale, as a killed
// broker's would).
class FakeBroker {
 public:
  explicit FakeBroker(const std::string& base_dir);
  FakeBroker(const FakeBroker&) = delete;
  FakeBroker& operator=(const FakeBroker&) = delete;
  ~FakeBroker();

  bool ready() const { return ready_; }
  std::uint16_t port() const { return port_; }
  const std::string& secret() const { return secret_; }

  // The next connection, or nullopt when none arrives in time. Nothing is
  // checked or answered: the first line the test reads is the peer's hello.
  std::optional<RawSocket> accept(std::chrono::milliseconds timeout = 10s);

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::string secret_;
  bool ready_ = false;
};

// A loopback port held bound but never listening: connecting to it is
// refused at once, and no other process can take the port while the object
// lives. Publish it with publish_lock to play a broker that died.
class RefusingPort {
 public:
  RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort();

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace velkor::test
