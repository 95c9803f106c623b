// Tabvine's service worker: wires the native link to the broker, the
// dispatcher of its requests, the shared tabs, what the user sees of the
// agents' work, and the popup together. Every listener waits for the saved
// state before it acts.
import * as activity from "./worker/activity.js";
import * as cue from "./worker/cue.js";
import * as debuggerSessions from "./worker/debugger.js";
import { dispatcher } from "./worker/dispatch.js";
import * as documents from "./worker/documents.js";
import { createLink } from "./worker/link.js";
import { OPERATIONS } from "./worker/operations.js";
import { popupListener } from "./worker/popup_port.js";
import * as sharedTabs from "./worker/shared_tabs.js";

const startedAt = Date.now();
sharedTabs.load();
sharedTabs.onForget(documents.forget);
sharedTabs.onIdle(debuggerSessions.release);
sharedTabs.onIdle(cue.refresh);
activity.load();
sharedTabs.onForget(activity.forget);
sharedTabs.showPause(activity.isPaused);
activity.onPause(sharedTabs.refreshBadges);
chrome.debugger.onEvent.addListener(debuggerSessions.onEvent);
chrome.debugger.onDetach.addListener(debuggerSessions.onDetach);

// A page that navigated has lost its cue, and a session that began or ended
// changes who it names.
const CUE_CHANGES = new Set(["session_start", "session_stop", "page_navigate", "page_back", "page_forward", "page_reload"]);

// After the answer is sent: neither the trail nor the cue may hold it up.
function answered(event) {
  activity.record(event).catch(() => {});
  if (CUE_CHANGES.has(event.op) || event.answer.data?.navigated) cue.refresh(event.tabId).catch(() => {});
}

async function pauseText() {
  await activity.load();
  return activity.isPaused() ? activity.PAUSE_TEXT : null;
}

const handle = dispatcher(OPERATIONS, { pauseText, onAnswer: answered });
const link = createLink({ onRequest: handle, onLost: sharedTabs.sessionsLost });

chrome.tabs.onUpdated.addListener(sharedTabs.tabUpdated);
chrome.tabs.onRemoved.addListener(sharedTabs.tabRemoved);
chrome.runtime.onMessage.addListener(popupListener({
  linkStatus: link.status,
  startedAt,
  changed: () => {
    sharedTabs.refreshBadges();
    cue.refreshAll();
  },
}));

// The native port keeps this worker alive; the alarm brings it back to try
// again when no host could be reached.
chrome.alarms.create("reconnect", { periodInMinutes: 0.5 });
chrome.alarms.onAlarm.addListener(() => {
  if (!link.connected()) link.connect();
});
// Listening for these makes Chrome start the worker at browser start-up and
// on install; the connect below then runs on every start, whatever woke it.
chrome.runtime.onStartup.addListener(() => {});
chrome.runtime.onInstalled.addListener(() => {});
link.connect();
