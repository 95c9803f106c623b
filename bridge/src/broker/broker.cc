#include "broker/broker.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "base/thread.h"
#include "broker/client.h"
#include "broker/identifier.h"
#include "ipc/lock_file.h"
#include "ipc/names.h"
#include "ipc/path.h"
#include "ipc/runtime_dir.h"
#include "log/log.h"
#include "protocol/mcp.h"

namespace velkor::broker {
namespace {

constexpr std::string_view kTag = "broker";
constexpr std::chrono::milliseconds kAcceptPoll{20};
// How long accepting rests after a transient failure such as EMFILE.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// Connections that may wait for their hello at once; each holds a descriptor.
constexpr std::size_t kMaxPendingHellos = 512;

Result<void> dispatch(const std::shared_ptr<Runtime>& runtime, ipc::Authenticated conn) {
  if (conn.role == ipc::Role::kNativeHost) {
    return attach_native_host(*runtime, std::move(conn), identifier);
  }
  auto client_id = identifier();
  if (!client_id) return Unexpected(std::move(client_id).error());
  {
    MutexLock lock(&runtime->clients_mu);
    auto handle = conn.writer.try_clone();
    if (!handle) return Unexpected(std::move(handle).error());
    runtime->clients.insert_or_assign(*client_id, std::move(*handle));
  }
  auto served = accept(runtime, std::move(conn.writer), std::move(conn.reader), *client_id);
  if (!served) {
    // The stored handle would keep the agent's connection open with no one
    // to answer it; dropping it lets the relay see the end at once.
    MutexLock lock(&runtime->clients_mu);
    runtime->clients.erase(*client_id);
  }
  return served;
}

void serve_client(std::shared_ptr<Runtime> runtime, ipc::UniqueFd stream,
                  std::unique_ptr<protocol::BufReader> reader, std::string client_id) {
  auto client = std::make_unique<BrowserClient>(runtime);
  auto writer = std::make_unique<ipc::FdSink>(std::move(stream));
  // Running out of memory for one agent's message ends that agent's
  // connection, not the broker with every other agent and browser in it.
  try {
    for (;;) {
      auto message = protocol::mcp_read(*reader);
      if (!message || !message->has_value()) break;
      auto answer = client->handle(std::move(**message));
      if (!answer) continue;
      std::string line = answer_line(*answer);
      line += '\n';
      if (!writer->write_all(line)) break;
    }
  } catch (const std::exception& e) {
    log::emit(log::Level::kError, kTag, "agent connection ended: {}", e.what());
  }
  {
    MutexLock lock(&runtime->clients_mu);
    runtime->clients.erase(client_id);
  }
  writer.reset();
  // Ending the client stops its sessions in the extension (up to a few
  // seconds each), so the agent's side is released first.
  client.reset();
}

}  // namespace

Result<void> attach_native_host(Runtime& runtime, ipc::Authenticated conn,
                                const std::function<Result<std::string>()>& make_id) {
  session::Session session(runtime.limits);
  session.attach_authenticated(std::move(conn.reader), std::move(conn.writer));
  MutexLock lock(&runtime.sessions_mu);
  auto id = make_id();
  if (!id) {
    // The reader thread already runs; without an id nobody could ever
    // reach this browser, so close the connection instead of leaking it.
    session.disconnect();
    return Unexpected(std::move(id).error());
  }
  runtime.sessions.emplace(std::move(*id), std::move(session));
  return {};
}

Result<void> accept(std::shared_ptr<Runtime> runtime, ipc::UniqueFd stream,
                    std::unique_ptr<protocol::BufReader> reader, std::string client_id) {
  // Detached: the thread holds its own share of the runtime and owns its
  // connection; the broker's shutdown ends it by shutting the socket down.
  return try_spawn_detached(serve_client, std::move(runtime), std::move(stream), std::move(reader),
                            std::move(client_id));
}

namespace {

// Accept errors that say "not now" rather than "never": running out of
// descriptors or memory passes when clients leave, and the others belong to
// one connection, not to the listener.
bool transient_accept_error(const IoError& error) {
  switch (error.os_error()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
      return true;
    default:
      return false;
  }
}

void finish_hello(const std::shared_ptr<Runtime>& runtime, Result<ipc::Authenticated> checked,
                  bool& spawn_failed) {
  Result<void> outcome = checked ? dispatch(runtime, std::move(*checked))
                                 : Result<void>(Unexpected(std::move(checked).error()));
  if (outcome) return;
  if (outcome.error().kind() == ErrorKind::kSpawnFailed) {
    spawn_failed = true;
    return;
  }
  log::emit(log::Level::kDebug, kTag, "local connection closed: {}", outcome.error().to_string());
}

}  // namespace

void listen(ipc::TcpListener listener, std::string secret, std::shared_ptr<Runtime> runtime) {
  using Clock = std::chrono::steady_clock;
  // Hellos are checked side by side in this one loop, each against its own
  // deadline, so no number of silent or slow neighbours delays a real
  // client by more than the moment it takes to read its line.
  std::vector<ipc::PendingHello> pending;
  std::vector<pollfd> fds;
  Clock::time_point paused_until{};
  bool accept_failing = false;
  bool spawn_failed = false;
  while (!runtime->stopping.load(std::memory_order_acquire) && !spawn_failed) {
    auto now = Clock::now();
    bool accepting = pending.size() < kMaxPendingHellos && now >= paused_until;
    // The listener comes first, so its slot is fds[0] whether it is polled or not.
    fds.assign(1, pollfd{accepting ? listener.fd() : -1, POLLIN, 0});
    auto wake = now + kAcceptPoll;
    for (const auto& hello : pending) {
      fds.push_back(pollfd{hello.fd(), POLLIN, 0});
      wake = std::min(wake, hello.deadline());
    }
    if (!accepting && now < paused_until) wake = std::min(wake, paused_until);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0)));
    if (ready < 0 && errno != EINTR) {
      log::emit(log::Level::kError, kTag, "listener stopped: {}",
                IoError::from_errno(errno).to_string());
      break;
    }

    // Hellos with bytes to read or out of time; each leaves the list with
    // its verdict.
    now = Clock::now();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      std::optional<Result<ipc::Authenticated>> done;
      if ((ready > 0 && fds[i + 1].revents != 0) || now >= pending[i].deadline()) {
        done = pending[i].advance(secret);
      }
      if (done) {
        finish_hello(runtime, std::move(*done), spawn_failed);
      } else {
        if (kept != i) pending[kept] = std::move(pending[i]);
        ++kept;
      }
    }
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(kept), pending.end());

    if (!accepting || ready <= 0 || fds[0].revents == 0) continue;
    while (pending.size() < kMaxPendingHellos) {
      auto accepted = listener.accept();
      if (!accepted) {
        if (accepted.error().kind() == ErrorKind::kInterrupted) continue;
        if (!transient_accept_error(accepted.error())) {
          log::emit(log::Level::kError, kTag, "listener stopped: {}", accepted.error().to_string());
          return;
        }
        // Logged once per spell, and retried after a pause instead of
        // spinning on a listener that stays readable.
        if (!accept_failing) {
          log::emit(log::Level::kWarn, kTag, "accept failed, retrying: {}",
                    accepted.error().to_string());
        }
        accept_failing = true;
        paused_until = Clock::now() + kAcceptRetry;
        break;
      }
      if (!accepted->has_value()) break;
      accept_failing = false;
      ipc::UniqueFd conn = std::move(**accepted);
      if (auto r = ipc::set_nonblocking(conn.get()); !r) continue;
      pending.emplace_back(std::move(conn), Clock::now() + ipc::kHandshakeTimeout);
    }
  }
  if (spawn_failed) {
    // Without threads no client can be served; stop accepting, but keep
    // the connections that live.
    std::fputs("failed to spawn thread\n", stderr);
  }
}

Result<std::unique_ptr<BrowserBroker>> BrowserBroker::start(const std::string& dir,
                                                            session::Limits limits) {
  auto owner = ipc::prepare_runtime_dir(dir);
  if (!owner) return Unexpected(std::move(owner).error());
  // Holding the owner lock, no other broker can be using these.
  remove_stale_selections(dir);
  auto listening = ipc::listen();
  if (!listening) return Unexpected(std::move(listening).error());
  if (auto r = listening->listener.set_nonblocking(); !r) return Unexpected(r.error());
  std::string lock_path = ipc::join_path(dir, ipc::kRunLockName);
  ipc::LockFile lock{listening->port, listening->secret, listening->pid};
  if (auto w = lock.write_at(lock_path); !w) return Unexpected(w.error());

  auto runtime = std::make_shared<Runtime>(limits);
  std::unique_ptr<BrowserBroker> broker(
      new BrowserBroker(runtime, std::move(lock_path), std::move(*owner)));
  broker->listener_thread_ = spawn<std::jthread>(listen, std::move(listening->listener),
                                                 std::move(listening->secret), runtime);
  return broker;
}

BrowserBroker::~BrowserBroker() {
  // The accept loop is joined here rather than by the member's destructor,
  // which would run after this body: no connection may be filed after the
  // sweep below. The loop watches `stopping`, not the thread's stop token.
  runtime_->stopping.store(true);
  if (listener_thread_.joinable()) listener_thread_.join();
  {
    MutexLock lock(&runtime_->sessions_mu);
    for (auto& [id, session] : runtime_->sessions) session.disconnect();
  }
  {
    MutexLock lock(&runtime_->clients_mu);
    for (auto& [id, handle] : runtime_->clients) ipc::shutdown_both(handle.get());
  }
  std::map<std::string, SelectedFile> selections;
  {
    MutexLock lock(&runtime_->selections_mu);
    selections = std::exchange(runtime_->selections, {});
  }
  selections.clear();
  ::unlink(lock_path_.c_str());
  // owner_lock_ closes with the object, releasing the single-instance lock.
}

Result<std::string> BrowserBroker::select_upload_for_next_session(std::string_view path) {
  auto runtime_dir = ipc::parent_dir(lock_path_);
  if (!runtime_dir) return Unexpected(IoError(ErrorKind::kInvalidInput));
  auto staged = stage_file(*runtime_dir, path);
  if (!staged) return Unexpected(std::move(staged).error());
  auto id = identifier();
  if (!id) return Unexpected(std::move(id).error());
  MutexLock lock(&runtime_->selections_mu);
  runtime_->selections.emplace(*id, std::move(*staged));
  return std::move(*id);
}

}  // namespace velkor::broker
