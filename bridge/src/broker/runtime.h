#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "broker/uploads.h"
#include "error/result.h"
#include "ipc/fd.h"
#include "protocol/json.h"
#include "session/session.h"

namespace velkor::broker {

// An announced browser as the agents see it.
struct Browser {
  std::string id;
  std::string name;
  std::string version;

  protocol::json::Json to_json() const {
    return {{"id", id}, {"name", name}, {"version", version}};
  }
};

struct PickedBrowser {
  std::string id;
  session::Session session;
};

// The broker's shared state, held by the broker object, the accept loop and
// every client thread; it lives until the last of them lets go. Each
// collection has its own lock and no code path holds two of them at once.
// A Session's own locks may be taken under `sessions_mu`, never the reverse.
struct Runtime {
  explicit Runtime(session::Limits limits) : limits(limits) {}

  // Announced browsers in id order; entries whose connection is gone are
  // pruned on the way.
  std::vector<Browser> browsers();

  // The browser an agent meant: the given id, or the only one connected.
  // Errors are texts for the agent.
  Result<PickedBrowser, std::string> find_browser(const std::optional<std::string>& browser_id);

  const session::Limits limits;

  Mutex sessions_mu;
  std::map<std::string, session::Session> sessions VELKOR_GUARDED_BY(sessions_mu);
  Mutex clients_mu;
  std::map<std::string, ipc::UniqueFd> clients VELKOR_GUARDED_BY(clients_mu);
  Mutex selections_mu;
  std::map<std::string, SelectedFile> selections VELKOR_GUARDED_BY(selections_mu);

  std::atomic<bool> stopping{false};
};

inline constexpr std::string_view kConnectExtension = "Подключите расширение velkor в браузере.";
inline constexpr std::string_view kChooseBrowser = "Укажите browserId из browser_tabs.";
inline constexpr std::string_view kBrowserGone = "Связь с браузером прервалась.";

}  // namespace velkor::broker
