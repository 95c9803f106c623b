// What the user shared and which agents hold sessions in it. Pure state, so
// the rules that guard consent can be tested without a browser; the service
// worker feeds it tab events and persists `grants` across its own restarts.
import { covers, siteOf, webUrl } from "./site.js";

const TAB_HINT = "Call browser_tabs to see the tabs the user shares.";

export class Grants {
  constructor(saved = []) {
    // tabId -> {tabId, site, secure}; grants saved before `secure` existed
    // read as not secure, which is what they covered then.
    this.grants = new Map(saved.map((g) => [g.tabId, g]));
    this.sessions = new Map();  // sessionId -> {sessionId, tabId, controller}
    this.withdrawn = new Map();  // tabId -> why its grant ended
  }

  saved() {
    return [...this.grants.values()];
  }

  share(tabId, url) {
    const site = siteOf(url);
    if (site === null) return { error: "Only http and https pages can be shared." };
    this.grants.set(tabId, { tabId, site, secure: webUrl(url).protocol === "https:" });
    this.withdrawn.delete(tabId);
    return { site };
  }

  // Returns the session ids that ended with the grant.
  unshare(tabId, reason = "The user stopped sharing this tab.") {
    if (!this.grants.delete(tabId)) return [];
    this.withdrawn.set(tabId, reason);
    return this.#endSessionsIn(tabId);
  }

  isShared(tabId) {
    return this.grants.has(tabId);
  }

  // The grant of a shared tab ({tabId, site, secure}), or undefined.
  grant(tabId) {
    return this.grants.get(tabId);
  }

  // Whether the shared tab's grant covers a page at `url`.
  covers(tabId, url) {
    return covers(this.grants.get(tabId), url);
  }

  // The tab a session runs in, or undefined.
  sessionTab(sessionId) {
    return this.sessions.get(sessionId)?.tabId;
  }

  // A committed URL on another site, or on plain http where https was
  // shared, withdraws the grant; the same site keeps it.
  navigated(tabId, url) {
    const grant = this.grants.get(tabId);
    if (!grant || covers(grant, url)) return [];
    const why = siteOf(url) === grant.site
      ? `The tab moved from https to plain http on ${grant.site}, where the network can change the page, ` +
        "so its grant was withdrawn. "
      : `The tab left the shared site ${grant.site}, so its grant was withdrawn. `;
    return this.unshare(tabId, `${why}Ask the user to share the tab again with the Tabvine toolbar button.`);
  }

  removed(tabId) {
    const ended = this.unshare(tabId, "The shared tab was closed.");
    this.withdrawn.delete(tabId);
    return ended;
  }

  // `activeTabIds` are the active tabs of the browser's windows, focused first.
  start(sessionId, controller, tabId, activeTabIds = []) {
    if (typeof sessionId !== "string" || sessionId === "") return { error: "Missing sessionId." };
    if (this.sessions.has(sessionId)) return { error: `Session ${sessionId} already exists.` };
    let tab = tabId;
    if (tab === undefined || tab === null) {
      tab = this.#defaultTab(activeTabIds);
      if (tab.error) return tab;
      tab = tab.tabId;
    } else {
      const refusal = this.refusal(tab);
      if (refusal) return { error: refusal };
    }
    const name = typeof controller === "string" && controller !== "" ? controller : "agent";
    this.sessions.set(sessionId, { sessionId, tabId: tab, controller: name });
    return { tabId: tab };
  }

  stop(sessionId) {
    return this.sessions.delete(sessionId);
  }

  clearSessions() {
    const ended = [...this.sessions.keys()];
    this.sessions.clear();
    return ended;
  }

  // Why `sessionId` may not act on `tabId`, or null when it may.
  check(sessionId, tabId) {
    const session = this.sessions.get(sessionId);
    if (session && session.tabId === tabId) return this.refusal(tabId);
    const why = this.withdrawn.get(tabId);
    if (why) return `This session has ended. ${why}`;
    return "This session has ended (the user ended it or the extension restarted). " +
      "Call browser_tabs and browser_start again.";
  }

  refusal(tabId) {
    if (this.grants.has(tabId)) return null;
    const why = this.withdrawn.get(tabId);
    if (why) return `Tab ${tabId} is no longer shared. ${why}`;
    return `Tab ${tabId} is not shared. Ask the user to open it and share it with the Tabvine toolbar button. ${TAB_HINT}`;
  }

  // The display name of the agent that holds the session, or undefined.
  controllerOf(sessionId) {
    return this.sessions.get(sessionId)?.controller;
  }

  controllers(tabId) {
    return [...this.sessions.values()].filter((s) => s.tabId === tabId).map((s) => s.controller);
  }

  sessionsIn(tabId) {
    return [...this.sessions.values()].filter((s) => s.tabId === tabId);
  }

  #defaultTab(activeTabIds) {
    const shared = [...this.grants.keys()];
    if (shared.length === 0) {
      return { error: `No tab is shared. Ask the user to share one with the Tabvine toolbar button.` };
    }
    const active = activeTabIds.find((id) => this.grants.has(id));
    if (active !== undefined) return { tabId: active };
    if (shared.length === 1) return { tabId: shared[0] };
    return { error: `Several tabs are shared and none is active; pass tabId. ${TAB_HINT}` };
  }

  #endSessionsIn(tabId) {
    const ended = [];
    for (const [id, s] of this.sessions) {
      if (s.tabId === tabId) {
        this.sessions.delete(id);
        ended.push(id);
      }
    }
    return ended;
  }
}
