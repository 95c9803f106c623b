#include "broker/runtime.h"

namespace velkor::broker {

std::vector<Browser> Runtime::browsers() {
  std::vector<Browser> out;
  MutexLock lock(&sessions_mu);
  for (auto it = sessions.begin(); it != sessions.end();) {
    if (!it->second.connected()) {
      it = sessions.erase(it);
      continue;
    }
    auto info = it->second.peer();
    if (info && info->protocol_version == peer::kProtocolVersion && info->browser &&
        info->browser->name && info->browser->version) {
      out.push_back(Browser{it->first, *info->browser->name, *info->browser->version});
    }
    ++it;
  }
  return out;
}

Result<PickedBrowser, std::string> Runtime::find_browser(
    const std::optional<std::string>& browser_id) {
  std::vector<Browser> listed = browsers();
  std::string picked;
  if (browser_id) {
    bool found = false;
    for (const Browser& b : listed) found = found || b.id == *browser_id;
    if (!found) return Unexpected(std::string(kConnectExtension));
    picked = *browser_id;
  } else if (listed.empty()) {
    return Unexpected(std::string(kConnectExtension));
  } else if (listed.size() > 1) {
    return Unexpected(std::string(kChooseBrowser));
  } else {
    picked = listed.front().id;
  }
  MutexLock lock(&sessions_mu);
  auto it = sessions.find(picked);
  if (it == sessions.end()) return Unexpected(std::string(kBrowserGone));
  return PickedBrowser{picked, it->second};
}

}  // namespace velkor::broker
