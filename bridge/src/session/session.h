#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "error/call_error.h"
#include "error/result.h"
#include "ipc/fd.h"
#include "peer/peer.h"
#include "protocol/json.h"
#include "protocol/stream.h"

namespace velkor::session {

// How long a caller waits for the extension. Tests shorten them; the
// defaults are what the product uses.
struct Limits {
  std::chrono::milliseconds reply{std::chrono::seconds(120)};
  std::chrono::milliseconds stop_reply{std::chrono::seconds(3)};
};

struct State;

// The broker's handle on one native-host connection of a browser extension
// and the table of calls waiting for its answers. Copies are handles on the
// same state; every method is thread-safe. A session serves one connection
// for its whole life: an extension that reconnects is filed by the broker as
// a new browser with a new session, and calls on an ended one fail with
// NotConnected.
class Session {
 public:
  explicit Session(Limits limits = {});

  // Adopts a freshly authenticated native-host connection and starts its
  // reader thread. `reader` is positioned just after the hello line; `stream`
  // is the write handle of the same socket. Called once; a later connection
  // is closed at once and logged as an error.
  void attach_authenticated(std::unique_ptr<protocol::BufReader> reader, ipc::UniqueFd stream);

  // Sends one request and waits for its answer: the reply's data (null when
  // it has none) or a CallError. Waits at most Limits::reply, or
  // Limits::stop_reply for "session_stop". Holds no lock while waiting.
  Result<protocol::json::Json, error::CallError> call_inner(std::string_view op,
                                                            std::optional<std::int64_t> tab_id,
                                                            protocol::json::Json args) const;

  // Shuts the current connection down both ways; its reader then cleans up
  // and fails the waiting calls with ConnectionLost.
  void disconnect() const;

  // True from attach until the connection's reader has cleaned up.
  bool connected() const;
  std::optional<peer::PeerInfo> peer() const;

  // Calls whose entries are still in the pending table (for tests).
  std::size_t pending_count() const;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velkor::session
