// Moving a shared tab through its site: open a URL, back, forward, reload,
// and waiting for what a navigation loads.
import { siteOf, webUrl } from "../../lib/site.js";
import { clip, refuse, sleep } from "../errors.js";
import { LOAD_LIMIT_MS, MAX_TITLE, MAX_URL } from "../limits.js";
import * as sharedTabs from "../shared_tabs.js";
import { whenDialog } from "../debugger.js";

// Why a URL is outside the tab's grant, for a tool that would fetch it.
export function offSite(tool, tabId, url) {
  const { site } = sharedTabs.grant(tabId);
  return siteOf(url.href) === site
    ? `${tool} keeps to https on ${site}, as the user shared it; use the https URL.`
    : `${tool} takes URLs on the shared site ${site} only; ask the user to share a tab on ${clip(url.hostname, 200)}.`;
}

export async function navigate(tabId, args) {
  const url = webUrl(args.url);
  if (!url) refuse("browser_navigate opens http and https URLs only; pass url as an absolute URL.");
  // Refused before anything loads: opening the URL would already send the
  // user's cookies to a site they never shared.
  if (!sharedTabs.coversUrl(tabId, url.href)) refuse(offSite("browser_navigate", tabId, url));
  const late = await settle(tabId, () => chrome.tabs.update(tabId, { url: url.href }));
  return { ...await afterNavigation(tabId), ...late };
}

export async function back(tabId) {
  const late = await settle(tabId, () =>
    chrome.tabs.goBack(tabId).catch(() => refuse("There is no earlier page in this tab's history.")),
  );
  return { ...await afterNavigation(tabId), ...late };
}

export async function forward(tabId) {
  const late = await settle(tabId, () =>
    chrome.tabs.goForward(tabId).catch(() => refuse("There is no later page in this tab's history.")),
  );
  return { ...await afterNavigation(tabId), ...late };
}

export async function reload(tabId) {
  const late = await settle(tabId, () => chrome.tabs.reload(tabId));
  return { ...await afterNavigation(tabId), ...late };
}

// Where the tab is now; nothing of the new page when it left the grant (the
// dispatcher then says why).
async function afterNavigation(tabId) {
  const tab = await chrome.tabs.get(tabId);
  await sharedTabs.recheck(tabId, tab.url);
  if (!sharedTabs.isShared(tabId)) return {};
  return { url: clip(tab.url, MAX_URL), title: clip(tab.title, MAX_TITLE), loaded: tab.status === "complete", shared: true };
}

// Watches the tab's loads from before an action: whether one began, and a
// promise that settles when the load that began has completed.
export function watchLoads(tabId) {
  let began = false;
  let finish;
  const loaded = new Promise((resolve) => (finish = resolve));
  const listener = (id, change) => {
    if (id !== tabId) return;
    if (change.status === "loading") began = true;
    if (change.status === "complete" && began) finish();
  };
  chrome.tabs.onUpdated.addListener(listener);
  return { loaded, began: () => began, stop: () => chrome.tabs.onUpdated.removeListener(listener) };
}

// Waits, after an action that started a navigation, until the new page has
// loaded, a dialog asks the user first (a "leave site?" one, say), or the
// load limit passed. Returns what to add to the answer when the page is
// still loading.
export async function awaitLoad(tabId, watch) {
  const dialog = whenDialog(tabId);
  let timer;
  const limit = new Promise((resolve) => (timer = setTimeout(() => resolve("late"), LOAD_LIMIT_MS)));
  try {
    const ended = await Promise.race([watch.loaded, dialog.opened, limit]);
    return ended === "late"
      ? { loaded: false, loadNote: `The page was still loading after ${LOAD_LIMIT_MS / 1000} s; it goes on in the tab.` }
      : {};
  } finally {
    clearTimeout(timer);
    dialog.stop();
  }
}

// Runs a navigation and waits until it has loaded. Chrome reports the load
// as it begins, so `graceMs` is how long one may take to begin at all.
// Returns what awaitLoad does.
export async function settle(tabId, action, graceMs = 2000) {
  const watch = watchLoads(tabId);
  const dialog = whenDialog(tabId);
  try {
    await action();
    await new Promise((r) => setTimeout(r, 0));
    if (!watch.began()) {
      await Promise.race([watch.loaded, dialog.opened, sleep(graceMs)]);
      const tab = await chrome.tabs.get(tabId).catch(() => null);
      if (!watch.began() || tab?.status === "complete") return {};
    }
    return awaitLoad(tabId, watch);
  } finally {
    watch.stop();
    dialog.stop();
  }
}
