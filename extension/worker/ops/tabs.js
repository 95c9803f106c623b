// The shared tabs, and the start and end of an agent's session in one.
import { clip, refuse } from "../errors.js";
import { MAX_TITLE, MAX_URL } from "../limits.js";
import * as sharedTabs from "../shared_tabs.js";
import { ensureAttached } from "../debugger.js";

async function activeTabIds() {
  const [focused] = await chrome.tabs.query({ active: true, lastFocusedWindow: true });
  const all = await chrome.tabs.query({ active: true });
  const ids = all.map((t) => t.id);
  return focused ? [focused.id, ...ids.filter((id) => id !== focused.id)] : ids;
}

async function tabSummary(tabId) {
  const tab = await chrome.tabs.get(tabId);
  return {
    tabId,
    title: clip(tab.title, MAX_TITLE),
    url: clip(tab.url, MAX_URL),
    active: tab.active,
    windowId: tab.windowId,
    inSession: sharedTabs.sessionsIn(tabId).length > 0,
    controllers: sharedTabs.controllers(tabId),
  };
}

export async function tabList() {
  const tabs = [];
  for (const tabId of sharedTabs.sharedTabIds()) {
    try {
      tabs.push(await tabSummary(tabId));
    } catch {
      await sharedTabs.forgetTab(tabId);
    }
  }
  return tabs;
}

export async function sessionStart(tabId, args) {
  const controller = args.controller?.name;
  const result = sharedTabs.startSession(args.sessionId, controller, tabId ?? undefined, await activeTabIds());
  if (result.error) refuse(result.error);
  const tab = await chrome.tabs.get(result.tabId).catch(() => null);
  if (!tab) {
    sharedTabs.stopSession(args.sessionId);
    refuse("The tab is gone; call browser_tabs.");
  }
  // Attached for the whole session, so that every dialog the page opens is
  // seen; a tab that DevTools holds is still readable, and the calls that
  // need the debugger say why they cannot act.
  await ensureAttached(result.tabId).catch(() => {});
  return { sessionId: args.sessionId, tabId: result.tabId, title: clip(tab.title, MAX_TITLE), url: clip(tab.url, MAX_URL) };
}

export async function sessionStop(tabId, args) {
  const { stopped, tabId: own } = sharedTabs.stopSession(args.sessionId);
  // The clean-up after a failed start names no tab; the session knows it.
  if (own === undefined && Number.isSafeInteger(tabId)) sharedTabs.badge(tabId);
  return { sessionId: args.sessionId, stopped };
}
