// The per-tab debugger queue: Chrome refuses a second attach to a tab, so
// the calls that need the debugger on one tab run one after the other.
import { DEVTOOLS_LIMIT_MS } from "./limits.js";
import { refuse, withLimit } from "./errors.js";

const queues = new Map();  // tabId -> the promise of the last queued call

// Runs `work(send)` with the debugger attached to the tab; `send(method,
// params)` refuses after `limitMs` so that a command stuck behind a dialog
// cannot hold the tab's queue forever.
export function withDebugger(tabId, work, limitMs = DEVTOOLS_LIMIT_MS) {
  const previous = queues.get(tabId) ?? Promise.resolve();
  const run = previous.catch(() => {}).then(async () => {
    const target = { tabId };
    try {
      await chrome.debugger.attach(target, "1.3");
    } catch (e) {
      refuse(`Tabvine could not attach to the tab (${e?.message ?? e}); close DevTools or other debugging extensions on it and try again.`);
    }
    try {
      const send = (method, params) => withLimit(chrome.debugger.sendCommand(target, method, params),
        limitMs, `The page did not respond to ${method}; a dialog such as alert() may be waiting for the user.`);
      return await work(send);
    } finally {
      await chrome.debugger.detach(target).catch(() => {});
    }
  });
  queues.set(tabId, run);
  run.finally(() => {
    if (queues.get(tabId) === run) queues.delete(tabId);
  }).catch(() => {});
  return run;
}
