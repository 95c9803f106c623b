// The cue in the page while agents hold sessions in a tab: a label with
// their names in the top document, and an outline of what each action
// targets (drawn by the page's hands as they act). The user can turn it off.
import * as activity from "./activity.js";
import { callTop, inPage, pin } from "./documents.js";
import * as sharedTabs from "./shared_tabs.js";

// What the page's hands get with an action, to outline its target.
export function cueArgs(sessionId) {
  return activity.cueEnabled() ? { cue: sharedTabs.controllerOf(sessionId) ?? "agent" } : {};
}

// Shows, updates or removes the label to match the tab's sessions.
export async function refresh(tabId) {
  const names = sharedTabs.controllers(tabId);
  if (names.length === 0 || !activity.cueEnabled() || !sharedTabs.isShared(tabId)) {
    await callTop(tabId, "cue_off", {}).catch(() => {});
    return;
  }
  const doc = await pin(tabId, { frameId: 0 }).catch(() => null);
  if (doc) await inPage(tabId, doc, "cue", { agents: [...new Set(names)].join(", ") }).catch(() => {});
}

// Runs `work()` with the tab's cue hidden, so a screenshot shows the page
// alone. A tab whose top document has no hands has no cue to hide.
export async function hiddenDuring(tabId, work) {
  if (!activity.cueEnabled()) return work();
  const cue = await callTop(tabId, "cue_visible", { visible: false }).catch(() => ({ had: false }));
  try {
    return await work();
  } finally {
    if (cue.had) await callTop(tabId, "cue_visible", { visible: true }).catch(() => {});
  }
}

export async function refreshAll() {
  for (const tabId of sharedTabs.sharedTabIds()) await refresh(tabId);
}
