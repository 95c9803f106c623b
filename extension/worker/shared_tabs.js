// The tabs the user shared and the agents' sessions in them: the grants,
// their copy in session storage (so a restarted worker keeps them), the
// toolbar badges, and the rules that withdraw a grant when its tab leaves
// what was shared. Every other module asks through these functions.
import { Grants } from "../lib/grants.js";
import { covers } from "../lib/site.js";

let grants = new Grants();
let loading = null;
const forgetListeners = [];
const idleListeners = [];

// Resolves once the saved grants are loaded; every listener waits for it.
// A restarted worker trusts a saved grant only while its tab still shows
// what was shared.
export function load() {
  loading ??= (async () => {
    const saved = await chrome.storage.session.get("grants");
    const kept = [];
    for (const g of saved.grants ?? []) {
      const tab = await chrome.tabs.get(g.tabId).catch(() => null);
      if (tab && covers(g, tab.url ?? "")) kept.push(g);
    }
    grants = new Grants(kept);
    await chrome.storage.session.set({ grants: kept });
    for (const g of kept) badge(g.tabId);
  })();
  return loading;
}

// `listener(tabId)` runs when a tab's grant ends, so what was kept for its
// documents goes with it.
export function onForget(listener) {
  forgetListeners.push(listener);
}

function forgotten(tabId) {
  for (const listener of forgetListeners) listener(tabId);
  idle(tabId);
}

// `listener(tabId)` runs when the last agent session in a tab may have
// ended, so what was kept for driving it (the debugger) can go.
export function onIdle(listener) {
  idleListeners.push(listener);
}

function idle(tabId) {
  if (grants.sessionsIn(tabId).length > 0) return;
  for (const listener of idleListeners) listener(tabId);
}

function save() {
  return chrome.storage.session.set({ grants: grants.saved() });
}

export async function share(tabId) {
  const tab = await chrome.tabs.get(tabId);
  const result = grants.share(tabId, tab.url ?? "");
  if (result.error) return result;
  await save();
  await badge(tabId);
  return result;
}

export async function unshare(tabId) {
  grants.unshare(tabId);
  forgotten(tabId);
  await save();
  await badge(tabId);
}

export function forgetTab(tabId) {
  grants.removed(tabId);
  forgotten(tabId);
  return save();
}

// Withdraws the grant of a shared tab that no longer shows what was shared
// (a URL Tabvine may not read counts as another site). True when it was
// withdrawn.
export async function recheck(tabId, url) {
  if (!grants.isShared(tabId) || grants.covers(tabId, url ?? "")) return false;
  grants.navigated(tabId, url ?? "");
  forgotten(tabId);
  await save();
  await badge(tabId);
  return true;
}

// ---- sessions ------------------------------------------------------------------

export function startSession(sessionId, controller, tabId, activeTabIds) {
  const result = grants.start(sessionId, controller, tabId, activeTabIds);
  if (!result.error) badge(result.tabId);
  return result;
}

export function stopSession(sessionId) {
  const tabId = grants.sessionTab(sessionId);
  const stopped = grants.stop(sessionId);
  if (Number.isSafeInteger(tabId)) {
    badge(tabId);
    idle(tabId);
  }
  return { stopped, tabId };
}

// The broker's handles on every session died with its connection.
export function sessionsLost() {
  const driven = sharedTabIds().filter((tabId) => grants.sessionsIn(tabId).length > 0);
  grants.clearSessions();
  refreshBadges();
  for (const tabId of driven) idle(tabId);
}

// Why `sessionId` may not act on `tabId`, or null when it may.
export function check(sessionId, tabId) {
  return grants.check(sessionId, tabId);
}

export function isShared(tabId) {
  return grants.isShared(tabId);
}

export function grant(tabId) {
  return grants.grant(tabId);
}

export function coversUrl(tabId, url) {
  return grants.covers(tabId, url);
}

export function sharedTabIds() {
  return grants.saved().map((g) => g.tabId);
}

export function sessionsIn(tabId) {
  return grants.sessionsIn(tabId);
}

// The display name of the agent that holds the session, or undefined.
export function controllerOf(sessionId) {
  return grants.controllerOf(sessionId);
}

export function controllers(tabId) {
  return grants.controllers(tabId);
}

// ---- badges and tab events -------------------------------------------------------

let pausedNow = () => false;

// Badges show a pause with `isPaused()`.
export function showPause(isPaused) {
  pausedNow = isPaused;
}

export async function badge(tabId) {
  const shared = grants.isShared(tabId);
  const driven = grants.sessionsIn(tabId).length > 0;
  const paused = shared && pausedNow();
  try {
    await chrome.action.setBadgeText({ tabId, text: paused ? "II" : driven ? "AI" : shared ? "ON" : "" });
    await chrome.action.setBadgeBackgroundColor({ tabId, color: paused ? "#5f6368" : driven ? "#b3261e" : "#1a73e8" });
    await chrome.action.setTitle({
      tabId,
      title: paused ? "Tabvine: agents paused"
        : driven ? `Tabvine: driven by ${grants.controllers(tabId).join(", ")}` : shared ? "Tabvine: shared" : "Tabvine",
    });
  } catch {
    // The tab closed meanwhile; nothing to show.
  }
}

export function refreshBadges() {
  for (const tabId of sharedTabIds()) badge(tabId);
}

export async function tabUpdated(tabId, change, tab) {
  await load();
  // Chrome leaves `change.url` out for pages Tabvine has no access to, so
  // the tab's own URL is what counts, on every update.
  if (await recheck(tabId, tab.url)) return;
  // A navigation resets per-tab badges, so they are set again.
  if (change.status !== undefined) badge(tabId);
}

export async function tabRemoved(tabId) {
  await load();
  if (grants.isShared(tabId)) await forgetTab(tabId);
}
