#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "broker/runtime.h"
#include "error/result.h"
#include "ipc/fd.h"
#include "ipc/tcp.h"
#include "protocol/stream.h"
#include "session/session.h"

namespace velkor::broker {

// The running broker: owns the runtime directory's owner lock, the lock
// file and the accept loop. Owned by the command-line entry; releasing it
// runs the shutdown (sessions disconnected, clients cut, selections and
// "run.lock" removed). Methods are called from the owning thread only.
class BrowserBroker {
 public:
  // Prepares `dir`, binds the listener, publishes "run.lock" and starts
  // accepting. `limits` are the session reply limits (tests shorten them).
  static Result<std::unique_ptr<BrowserBroker>> start(const std::string& dir,
                                                      session::Limits limits = {});
  ~BrowserBroker();
  BrowserBroker(const BrowserBroker&) = delete;
  BrowserBroker& operator=(const BrowserBroker&) = delete;

  // Stages `path` as a selection for the next session started; returns
  // its selection id.
  Result<std::string> select_upload_for_next_session(std::string_view path);

 private:
  BrowserBroker(std::shared_ptr<Runtime> runtime, std::string lock_path, ipc::UniqueFd owner_lock)
      : runtime_(std::move(runtime)),
        lock_path_(std::move(lock_path)),
        owner_lock_(std::move(owner_lock)) {}

  std::shared_ptr<Runtime> runtime_;
  std::string lock_path_;
  ipc::UniqueFd owner_lock_;
  std::jthread listener_thread_;
};

// The accept loop: runs until `stopping` is set or the listener fails.
void listen(ipc::TcpListener listener, std::string secret, std::shared_ptr<Runtime> runtime);

// Files an authenticated native-host connection as a new browser. The
// connection is closed again when no browser id can be made for it.
Result<void> attach_native_host(Runtime& runtime, ipc::Authenticated conn,
                                const std::function<Result<std::string>()>& make_id);

// Starts the detached thread that serves one MCP client connection; an
// error of kind kSpawnFailed when no thread can be started.
Result<void> accept(std::shared_ptr<Runtime> runtime, ipc::UniqueFd stream,
                    std::unique_ptr<protocol::BufReader> reader, std::string client_id);

}  // namespace velkor::broker
