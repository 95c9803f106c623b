#include "session/session.h"

#include <atomic>
#include <exception>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread.h"
#include "ipc/tcp.h"
#include "log/log.h"
#include "protocol/bridge.h"
#include "protocol/native_messaging.h"
#include "protocol/operations.h"

namespace velkor::session {
namespace {

constexpr std::string_view kTag = "session";
using Clock = std::chrono::steady_clock;

// One-shot reply channel between the reader thread and one caller.
struct Reply {
  Mutex mu;
  CondVar cv;
  std::optional<protocol::BridgeResp> response VELKOR_GUARDED_BY(mu);
  bool closed VELKOR_GUARDED_BY(mu) = false;
};

// The sending end. Dropping it unsent closes the channel, which wakes the
// caller with ConnectionLost.
class ReplySender {
 public:
  explicit ReplySender(std::shared_ptr<Reply> reply) : reply_(std::move(reply)) {}
  ReplySender(ReplySender&&) noexcept = default;
  ReplySender& operator=(ReplySender&&) = delete;
  ~ReplySender() { finish(std::nullopt); }

  void send(protocol::BridgeResp resp) { finish(std::move(resp)); }

 private:
  void finish(std::optional<protocol::BridgeResp> resp) {
    if (!reply_) return;
    {
      MutexLock lock(&reply_->mu);
      reply_->response = std::move(resp);
      reply_->closed = true;
    }
    reply_->cv.signal();
    reply_.reset();
  }
  std::shared_ptr<Reply> reply_;
};

// One native-host connection. Lines are written under `write_mu`, never
// under the session's locks, so a peer that drains slowly holds up only the
// writers of its own connection, each for at most one write deadline.
struct Conn {
  explicit Conn(ipc::UniqueFd f) : fd(std::move(f)) {}
  const ipc::UniqueFd fd;
  Mutex write_mu;
};

// Writes one whole line within the broker's write limit. A line cut short
// would glue the next one to its half, so a failed write ends the connection
// and the extension reconnects clean.
Result<void> write_line(Conn& c, std::string_view line) {
  MutexLock lock(&c.write_mu);
  auto written = ipc::write_all_before(c.fd.get(), line, Clock::now() + ipc::kBrokerWriteTimeout);
  if (!written) ipc::shutdown_both(c.fd.get());
  return written;
}

}  // namespace

// Lock order: conn_mu before pending_mu; peer_mu is always taken alone.
// No lock is held while a caller waits for its reply.
struct State {
  explicit State(Limits l) : limits(l) {}

  const Limits limits;
  Mutex conn_mu VELKOR_ACQUIRED_BEFORE(pending_mu);
  // Set from attach until the reader's clean-up, and never again after it.
  std::shared_ptr<Conn> conn VELKOR_GUARDED_BY(conn_mu);
  bool attached VELKOR_GUARDED_BY(conn_mu) = false;
  Mutex pending_mu;
  // Calls whose request may be on the wire. An entry is added only while
  // `conn` is set, and the clean-up empties the table when it clears `conn`,
  // so no caller is left waiting on a connection that is gone.
  std::unordered_map<std::uint64_t, ReplySender> pending VELKOR_GUARDED_BY(pending_mu);
  std::atomic<std::uint64_t> next_id{1};
  // Each session numbers its own connections from 1, so the log of every
  // browser's first connection reads the same; a session serves one
  // connection today, and the counter keeps numbers unique if that changes.
  std::atomic<std::uint64_t> next_generation{1};
  Mutex peer_mu;
  std::optional<peer::PeerInfo> peer VELKOR_GUARDED_BY(peer_mu);
};

namespace {

// Answers an announce. Returns true to keep reading.
bool handle_announce(State& s, Conn& conn, std::uint64_t number, const peer::PeerInfo& info) {
  bool accepted = peer::announce_accepted(info);
  protocol::BridgeResp reply{0, accepted, std::nullopt, std::nullopt};
  if (accepted) {
    reply.data = protocol::json::Json{{"ready", true}};
    // Stored before the reply goes out, so an extension told "ready" is
    // already listed to agents. If the reply cannot be written, the
    // clean-up empties the slot again.
    MutexLock lock(&s.peer_mu);
    s.peer = info;
  } else {
    reply.error = std::string(peer::kAnnounceRefused);
  }
  std::string line = protocol::serialize(reply);
  line += '\n';
  if (!write_line(conn, line)) return false;
  if (!accepted) return false;
  log::emit(log::Level::kInfo, kTag, "generation {}: {}", number, peer::describe(info));
  if (auto advisory = peer::drift_advisory(peer::kHostVersion, info)) {
    log::emit(log::Level::kWarn, kTag, "{}", *advisory);
  }
  return true;
}

void deliver(State& s, protocol::BridgeResp resp) {
  std::optional<ReplySender> sender;
  {
    MutexLock lock(&s.pending_mu);
    auto it = s.pending.find(resp.id);
    if (it != s.pending.end()) {
      sender.emplace(std::move(it->second));
      s.pending.erase(it);
    }
  }
  if (sender) {
    sender->send(std::move(resp));
  } else {
    log::emit(log::Level::kWarn, kTag, "no pending caller for id {}", resp.id);
  }
}

void clean_up(State& s) {
  std::vector<ReplySender> orphaned;
  {
    MutexLock conn_lock(&s.conn_mu);
    s.conn.reset();
    MutexLock pending_lock(&s.pending_mu);
    for (auto& [id, sender] : s.pending) orphaned.push_back(std::move(sender));
    s.pending.clear();
  }
  {
    MutexLock lock(&s.peer_mu);
    s.peer.reset();
  }
  // Dropping the senders wakes their callers with ConnectionLost.
  orphaned.clear();
}

void read_loop(std::shared_ptr<State> s, std::shared_ptr<Conn> conn, std::uint64_t number,
               std::unique_ptr<protocol::BufReader> reader) {
  // Running out of memory for one line ends this connection, not the
  // broker with every other browser and agent in it.
  try {
    for (;;) {
      auto line = protocol::bridge_read(*reader);
      if (!line) {
        log::emit(log::Level::kWarn, kTag, "bridge read error (generation {}): {}", number,
                  line.error().to_string());
        break;
      }
      if (!line->has_value()) {
        log::emit(log::Level::kInfo, kTag, "native host disconnected (generation {})", number);
        break;
      }
      protocol::BridgeResp resp = std::move(**line);
      if (resp.id == 0) {
        if (auto info = peer::parse_announce(resp.data)) {
          if (handle_announce(*s, *conn, number, *info)) continue;
          break;
        }
      }
      deliver(*s, std::move(resp));
    }
  } catch (const std::exception& e) {
    log::emit(log::Level::kError, kTag, "bridge connection ended (generation {}): {}", number,
              e.what());
  }
  clean_up(*s);
  // The read handle closes with `reader`; with the writer gone too, the
  // native host sees its TCP stream end.
}

// Files a call in the pending table and returns the connection to write it
// on, or NotConnected. The entry goes in while `conn` is held, and the
// clean-up clears `conn` and empties the table under the same lock, so the
// entry is either seen by the clean-up or never made.
Result<std::shared_ptr<Conn>, error::CallError> enqueue(State& s, std::uint64_t id,
                                                        std::shared_ptr<Reply> reply) {
  MutexLock conn_lock(&s.conn_mu);
  if (!s.conn) return Unexpected(error::CallError::not_connected());
  MutexLock pending_lock(&s.pending_mu);
  s.pending.emplace(id, ReplySender(std::move(reply)));
  return s.conn;
}

// Takes a call's entry back out of the pending table. False when it was
// gone: the reader took it and is about to answer or close the channel.
bool withdraw(State& s, std::uint64_t id) {
  std::optional<ReplySender> gone;
  {
    MutexLock lock(&s.pending_mu);
    auto it = s.pending.find(id);
    if (it == s.pending.end()) return false;
    gone.emplace(std::move(it->second));
    s.pending.erase(it);
  }
  // `gone` is destroyed outside the lock; its sender only closes a
  // channel nobody else waits on.
  return true;
}

// How a caller's wait for its reply ended.
struct Waited {
  std::optional<protocol::BridgeResp> response;
  bool closed = false;  // answered, or the connection ended
};

// Waits until the channel closes or `deadline` passes.
Waited wait_for_reply(Reply& reply, Clock::time_point deadline) {
  MutexLock lock(&reply.mu);
  while (!reply.closed) {
    if (!reply.cv.wait_until(&reply.mu, deadline) && Clock::now() >= deadline) break;
  }
  Waited waited{std::move(reply.response), reply.closed};
  return waited;
}

// For a call whose deadline passed just as the reader took its entry: the
// reader sends right after releasing the table, so this wait is short, and
// the answer is the caller's.
std::optional<protocol::BridgeResp> take_late_reply(Reply& reply) {
  MutexLock lock(&reply.mu);
  while (!reply.closed) {
    reply.cv.wait_until(&reply.mu, Clock::now() + std::chrono::seconds(1));
  }
  return std::move(reply.response);
}

}  // namespace

Session::Session(Limits limits) : state_(std::make_shared<State>(limits)) {}

void Session::attach_authenticated(std::unique_ptr<protocol::BufReader> reader,
                                   ipc::UniqueFd stream) {
  auto conn = std::make_shared<Conn>(std::move(stream));
  {
    MutexLock lock(&state_->conn_mu);
    if (state_->attached) {
      // A second connection would share the first one's pending table and
      // announce; it is closed instead, as `conn` and `reader` go.
      log::emit(log::Level::kError, kTag, "a session serves one connection; closing another");
      return;
    }
    state_->attached = true;
    state_->conn = conn;
  }
  const std::uint64_t number = state_->next_generation.fetch_add(1);
  log::emit(log::Level::kInfo, kTag, "native host connected and authenticated (generation {})",
            number);
  // Detached: the thread holds its own share of the state and ends when
  // its connection does.
  spawn_detached(read_loop, state_, std::move(conn), number, std::move(reader));
}

Result<protocol::json::Json, error::CallError> Session::call_inner(
    std::string_view op, std::optional<std::int64_t> tab_id, protocol::json::Json args) const {
  State& s = *state_;
  const std::uint64_t id = s.next_id.fetch_add(1);
  protocol::BridgeReq req{id, std::string(op), tab_id, std::move(args)};
  std::string line = protocol::serialize(req);
  // The native host refuses frames over its outgoing cap and then ends,
  // which would cut every caller off this browser; refuse just this call.
  if (auto too_big = protocol::check_outgoing_frame_size(line.size())) {
    return Unexpected(error::CallError::write_failed(*too_big));
  }
  line += '\n';

  auto reply = std::make_shared<Reply>();
  auto queued = enqueue(s, id, reply);
  if (!queued) return Unexpected(std::move(queued).error());
  const std::shared_ptr<Conn> conn = std::move(*queued);
  if (auto w = write_line(*conn, line); !w) {
    withdraw(s, id);
    return Unexpected(error::CallError::write_failed(w.error()));
  }

  const auto wait = op == protocol::kSessionStop ? s.limits.stop_reply : s.limits.reply;
  Waited waited = wait_for_reply(*reply, Clock::now() + wait);
  if (!waited.response && !waited.closed && !withdraw(s, id)) {
    waited.response = take_late_reply(*reply);
  }
  if (waited.response) {
    protocol::BridgeResp& resp = *waited.response;
    if (resp.ok) return resp.data ? std::move(*resp.data) : protocol::json::Json(nullptr);
    return Unexpected(error::CallError::extension_or_unknown(std::move(resp.error)));
  }
  if (waited.closed) return Unexpected(error::CallError::connection_lost());
  return Unexpected(
      error::CallError::timeout(std::chrono::duration_cast<std::chrono::seconds>(wait)));
}

void Session::disconnect() const {
  MutexLock lock(&state_->conn_mu);
  if (state_->conn) ipc::shutdown_both(state_->conn->fd.get());
}

bool Session::connected() const {
  MutexLock lock(&state_->conn_mu);
  return state_->conn != nullptr;
}

std::optional<peer::PeerInfo> Session::peer() const {
  MutexLock lock(&state_->peer_mu);
  return state_->peer;
}

std::size_t Session::pending_count() const {
  MutexLock lock(&state_->pending_mu);
  return state_->pending.size();
}

}  // namespace velkor::session
