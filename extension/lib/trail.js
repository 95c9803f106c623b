// What each agent did in each shared tab, for the user to read in the popup:
// the latest actions per tab, each with its time, agent, tool, target and
// outcome. Pure state, saved by the service worker in session storage.
// Typed values are kept only as the answer showed them (a password's as its
// mask) and cut short.
import { clip } from "./clip.js";

export const TRAIL_LIMIT = 50;
const MAX_TARGET = 80;
const MAX_NOTE = 120;
const MAX_VALUE = 24;
const MAX_AGENT = 40;

export class Trail {
  // `saved`: what saved() returned, from storage.
  constructor(saved = {}) {
    this.byTab = new Map(Object.entries(saved ?? {}).map(([tabId, list]) => [Number(tabId), list]));
  }

  // `action`: {at, agent, tool, outcome: "done"|"refused"|"failed", target?, note?, value?}.
  record(tabId, action) {
    const entry = { at: action.at, agent: clip(action.agent, MAX_AGENT), tool: action.tool, outcome: action.outcome };
    if (action.target) entry.target = clip(action.target, MAX_TARGET);
    if (action.value !== undefined) entry.value = clip(action.value, MAX_VALUE);
    if (action.note) entry.note = clip(action.note, MAX_NOTE);
    const list = this.byTab.get(tabId) ?? [];
    list.push(entry);
    if (list.length > TRAIL_LIMIT) list.splice(0, list.length - TRAIL_LIMIT);
    this.byTab.set(tabId, list);
    return entry;
  }

  entries(tabId) {
    return this.byTab.get(tabId) ?? [];
  }

  clear(tabId) {
    return this.byTab.delete(tabId);
  }

  saved() {
    return Object.fromEntries(this.byTab);
  }
}
