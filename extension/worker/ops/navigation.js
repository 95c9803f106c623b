// Moving a shared tab through its site: open a URL, back, forward, reload,
// and waiting for what a navigation loads.
import { siteOf, webUrl } from "../../lib/site.js";
import { clip, refuse, sleep } from "../errors.js";
import { LOAD_LIMIT_MS, MAX_TITLE, MAX_URL } from "../limits.js";
import * as sharedTabs from "../shared_tabs.js";

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
  await settle(tabId, () => chrome.tabs.update(tabId, { url: url.href }));
  return afterNavigation(tabId);
}

export async function back(tabId) {
  await settle(tabId, () =>
    chrome.tabs.goBack(tabId).catch(() => refuse("There is no earlier page in this tab's history.")),
  );
  return afterNavigation(tabId);
}

export async function forward(tabId) {
  await settle(tabId, () =>
    chrome.tabs.goForward(tabId).catch(() => refuse("There is no later page in this tab's history.")),
  );
  return afterNavigation(tabId);
}

export async function reload(tabId) {
  await settle(tabId, () => chrome.tabs.reload(tabId));
  return afterNavigation(tabId);
}

// Where the tab is now; nothing of the new page when it left the grant (the
// dispatcher then says why).
async function afterNavigation(tabId) {
  const tab = await chrome.tabs.get(tabId);
  await sharedTabs.recheck(tabId, tab.url);
  if (!sharedTabs.isShared(tabId)) return {};
  return { url: clip(tab.url, MAX_URL), title: clip(tab.title, MAX_TITLE), loaded: tab.status === "complete", shared: true };
}

// Runs `action`, then waits until a navigation it started has loaded. Actions
// that may or may not navigate (a click, a key) get `graceMs` to begin one.
export async function settle(tabId, action, graceMs = 2000) {
  let began = false;
  let finish;
  const loaded = new Promise((resolve) => (finish = resolve));
  const listener = (id, change) => {
    if (id !== tabId) return;
    if (change.status === "loading") began = true;
    if (change.status === "complete" && began) finish();
  };
  chrome.tabs.onUpdated.addListener(listener);
  try {
    const result = await action();
    await new Promise((r) => setTimeout(r, 0));
    if (!began) {
      await Promise.race([loaded, sleep(graceMs)]);
      const tab = await chrome.tabs.get(tabId).catch(() => null);
      if (!began || tab?.status === "complete") return result;
    }
    await Promise.race([loaded, sleep(LOAD_LIMIT_MS)]);
    return result;
  } finally {
    chrome.tabs.onUpdated.removeListener(listener);
  }
}
