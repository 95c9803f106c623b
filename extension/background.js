// Tabvine's service worker: wires the native link to the broker, the
// dispatcher of its requests, the shared tabs and the popup together. Every
// listener waits for the saved grants before it acts.
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
chrome.debugger.onEvent.addListener(debuggerSessions.onEvent);
chrome.debugger.onDetach.addListener(debuggerSessions.onDetach);

const link = createLink({ onRequest: dispatcher(OPERATIONS), onLost: sharedTabs.sessionsLost });

chrome.tabs.onUpdated.addListener(sharedTabs.tabUpdated);
chrome.tabs.onRemoved.addListener(sharedTabs.tabRemoved);
chrome.runtime.onMessage.addListener(popupListener({ linkStatus: link.status, startedAt }));

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
