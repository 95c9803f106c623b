// The popup's requests. Only the popup, which the user drives, may change
// what is shared; the page's hands share our extension id, so the sender
// is checked before anything else.
import * as sharedTabs from "./shared_tabs.js";
import { dialogIn } from "./debugger.js";
import * as activity from "./activity.js";

// Returns the onMessage listener; `linkStatus()` gives {connection, error}.
// `changed()` runs after the user paused, resumed or turned the cue on or off.
export function popupListener({ linkStatus, startedAt, changed = () => {} }) {
  return (message, sender, reply) => {
    if (sender.id !== chrome.runtime.id || sender.tab || sender.url !== chrome.runtime.getURL("popup.html")) {
      return false;
    }
    request(message, linkStatus, startedAt, changed).then(reply, (e) => reply({ error: String(e?.message ?? e) }));
    return true;
  };
}

async function request(message, linkStatus, startedAt, changed) {
  await sharedTabs.load();
  await activity.load();
  switch (message?.type) {
    case "status":
      return status(linkStatus, startedAt);
    case "share":
      return sharedTabs.share(message.tabId);
    case "unshare":
      await sharedTabs.unshare(message.tabId);
      return {};
    case "end":
      sharedTabs.stopSession(message.sessionId);
      sharedTabs.refreshBadges();
      changed();
      return {};
    case "pause":
      await activity.setPaused(message.paused === true);
      changed();
      return {};
    case "cue":
      await activity.setCue(message.shown !== false);
      changed();
      return {};
    default:
      return { error: "unknown request" };
  }
}

async function status(linkStatus, startedAt) {
  const shared = [];
  for (const tabId of sharedTabs.sharedTabIds()) {
    const tab = await chrome.tabs.get(tabId).catch(() => null);
    if (!tab) continue;
    shared.push({
      tabId,
      site: sharedTabs.grant(tabId).site,
      title: tab.title ?? "",
      url: tab.url ?? "",
      sessions: sharedTabs.sessionsIn(tabId).map(({ sessionId, controller }) => ({ sessionId, controller })),
      dialog: dialogIn(tabId)?.type ?? null,
      trail: activity.trailOf(tabId),
    });
  }
  const version = chrome.runtime.getManifest().version;
  return { ...linkStatus(), version, startedAt, paused: activity.isPaused(), cue: activity.cueEnabled(), shared };
}
