// The debugger session of each driven tab. It is attached once, when an
// agent's session starts in the tab, and kept until the last session there
// ends (Chrome's "started debugging" bar says so to the user meanwhile), so
// that calls pay no attach and the dialogs a page opens are seen as they
// open. Calls that need the debugger on one tab run one after the other.
import { DEVTOOLS_LIMIT_MS, MAX_DIALOG } from "./limits.js";
import { clip, during, refuse, withLimit } from "./errors.js";

// tabId -> {queue, attached, attaching, dialog, dialogWaiters}
const tabs = new Map();

function stateOf(tabId) {
  let state = tabs.get(tabId);
  if (!state) {
    state = { queue: Promise.resolve(), attached: false, attaching: null, dialog: null, dialogWaiters: new Set() };
    tabs.set(tabId, state);
  }
  return state;
}

// Routes the debugger's events; the service worker adds these once.
export function onEvent(source, method, params) {
  const state = tabs.get(source.tabId);
  if (!state) return;
  if (method === "Page.javascriptDialogOpening") {
    state.dialog = {
      type: params.type,
      message: clip(params.message, MAX_DIALOG),
      defaultPrompt: clip(params.defaultPrompt ?? "", MAX_DIALOG),
      promptText: null,
    };
    for (const wake of state.dialogWaiters) wake(state.dialog);
    state.dialogWaiters.clear();
  } else if (method === "Page.javascriptDialogClosed") {
    // Whoever answered it, the user or an agent, the tab is free again.
    state.dialog = null;
  }
}

export function onDetach(source) {
  const state = tabs.get(source.tabId);
  if (!state) return;
  // DevTools opened, the user dismissed the bar, or the tab went: the next
  // call attaches again.
  state.attached = false;
  state.dialog = null;
}

// The dialog open in the tab, or null: {type, message, defaultPrompt, promptText}.
export function dialogIn(tabId) {
  return tabs.get(tabId)?.dialog ?? null;
}

// Resolves with the dialog as soon as one opens in the tab (at once if one
// is open); `stop()` ends the wait.
export function whenDialog(tabId) {
  const state = stateOf(tabId);
  let wake;
  const opened = new Promise((resolve) => (wake = resolve));
  if (state.dialog) wake(state.dialog);
  else state.dialogWaiters.add(wake);
  return { opened, stop: () => state.dialogWaiters.delete(wake) };
}

function command(tabId, method, params, limitMs) {
  return withLimit(chrome.debugger.sendCommand({ tabId }, method, params)
    .catch(during(params?.type ? `${method} ${params.type}` : method)), limitMs,
    `The page did not respond to ${method}; call browser_screenshot or browser_tabs to see what it waits for.`);
}

async function attach(tabId, state) {
  try {
    await chrome.debugger.attach({ tabId }, "1.3");
  } catch (e) {
    const text = String(e?.message ?? e);
    // A worker that Chrome restarted finds its own earlier session still
    // attached; anyone else's refuses the commands below.
    if (!/already attached/i.test(text)) {
      refuse(`Tabvine could not attach to the tab (${text}); close DevTools or other debugging extensions on it and try again.`);
    }
  }
  try {
    // With the Page domain on before any dialog opens, every dialog is seen.
    await command(tabId, "Page.enable", undefined, DEVTOOLS_LIMIT_MS);
    // Lets a tab in the background report where its focus is.
    await command(tabId, "Emulation.setFocusEmulationEnabled", { enabled: true }, DEVTOOLS_LIMIT_MS);
  } catch (e) {
    if (/another debugger|not attached/i.test(String(e?.message ?? e))) {
      refuse("Another debugger holds this tab; close DevTools or other debugging extensions on it and try again.");
    }
    throw e;
  }
  state.attached = true;
}

// Attaches to the tab unless attached already; safe to call often.
export async function ensureAttached(tabId) {
  const state = stateOf(tabId);
  if (state.attached) return;
  state.attaching ??= attach(tabId, state).finally(() => (state.attaching = null));
  await state.attaching;
}

// Ends the tab's debugger session once no agent drives it any more.
export async function release(tabId) {
  const state = tabs.get(tabId);
  if (!state) return;
  tabs.delete(tabId);
  for (const wake of state.dialogWaiters) wake(null);
  await state.queue.catch(() => {});
  await chrome.debugger.detach({ tabId }).catch(() => {});
}

// Runs `work(send)` in the tab's turn with the debugger attached; `send(method,
// params)` refuses after `limitMs`, so that a stuck command cannot hold the
// tab's queue for ever.
export function withDebugger(tabId, work, limitMs = DEVTOOLS_LIMIT_MS) {
  const state = stateOf(tabId);
  const run = state.queue.catch(() => {}).then(async () => {
    await ensureAttached(tabId);
    return work((method, params) => command(tabId, method, params, limitMs));
  });
  state.queue = run.catch(() => {});
  return run;
}

// Starts afresh after a command got stuck: a new session gets answers again.
export async function reattach(tabId) {
  const state = stateOf(tabId);
  state.attached = false;
  await chrome.debugger.detach({ tabId }).catch(() => {});
  await ensureAttached(tabId);
}
