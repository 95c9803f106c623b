// What the user sees of the agents' work and how they stop it: the trail of
// actions per shared tab, the pause that halts every agent at once, and the
// choice to show the cue in the page. All of it lives in session storage, so
// a restarted worker keeps it.
import { Trail } from "../lib/trail.js";

export const PAUSE_TEXT = "The user paused all agents in Tabvine, so nothing was done. Tell the user, and try " +
  "again once they resume agents in Tabvine's toolbar popup.";

let trail = new Trail();
let paused = false;
let cueShown = true;
let loading = null;
const pauseListeners = [];

export function load() {
  loading ??= (async () => {
    const saved = await chrome.storage.session.get(["trail", "paused", "cue"]);
    trail = new Trail(saved.trail);
    paused = saved.paused === true;
    cueShown = saved.cue !== false;
  })();
  return loading;
}

function save() {
  return chrome.storage.session.set({ trail: trail.saved(), paused, cue: cueShown }).catch(() => {});
}

export function isPaused() {
  return paused;
}

// `listener()` runs when agents are paused or resumed (badges show it).
export function onPause(listener) {
  pauseListeners.push(listener);
}

export async function setPaused(value) {
  await load();
  paused = value === true;
  await save();
  for (const listener of pauseListeners) listener();
}

export function cueEnabled() {
  return cueShown;
}

export async function setCue(value) {
  await load();
  cueShown = value !== false;
  await save();
}

export function trailOf(tabId) {
  return trail.entries(tabId);
}

// The tab stopped being shared: what was done there goes with it.
export function forget(tabId) {
  if (trail.clear(tabId)) save();
}

const TOOLS = { session_start: "browser_start", session_stop: "browser_stop" };

// What the action was aimed at, as the answer or the request says it.
function targetOf(op, args, data) {
  if (data) {
    const element = data.clicked ?? data.filled ?? data.element ?? data.focused ?? data.scrolled;
    if (typeof element === "string") return element;
    if (op === "page_navigate" || op === "page_back" || op === "page_forward" || op === "page_reload") return data.url;
  }
  if (typeof args.url === "string") return args.url;
  return typeof args.ref === "string" ? args.ref : typeof args.selector === "string" ? args.selector : undefined;
}

// Records one answered call in its tab's trail. Chunk reads belong to the
// screenshot they read; listing tabs acts on none.
export async function record({ op, tabId, args, agent, answer, refused }) {
  if (op === "tab_list" || op === "page_screenshot_read" || !Number.isSafeInteger(tabId)) return;
  await load();
  const data = answer.ok ? answer.data : null;
  const action = {
    at: Date.now(),
    agent: agent ?? "agent",
    tool: TOOLS[op] ?? op.replace(/^page_/, "browser_"),
    outcome: answer.ok ? "done" : refused ? "refused" : "failed",
    target: targetOf(op, args, data),
  };
  // Only what the answer showed: a password's value is its mask there.
  if (op === "page_fill" && data && typeof data.value === "string") action.value = data.value;
  if (!answer.ok) action.note = answer.error;
  else if (data?.dialog) action.note = `a ${data.dialog.type} dialog opened`;
  trail.record(tabId, action);
  await save();
}
