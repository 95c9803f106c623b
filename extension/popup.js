// The user's view of what Tabvine shares: share or unshare the current tab,
// see which agent drives which tab, end a session, and whether the Velkor
// broker is reachable. The service worker owns all state; this page asks it.
const $ = (id) => document.getElementById(id);

function ask(message) {
  return chrome.runtime.sendMessage(message);
}

const CONNECTION = {
  ready: ["connected to Velkor", "ready"],
  connecting: ["waiting for the Velkor broker", ""],
  refused: ["refused by the Velkor broker", "bad"],
  disconnected: ["Velkor broker not reachable", "bad"],
};

async function currentTab() {
  const [tab] = await chrome.tabs.query({ active: true, currentWindow: true });
  return tab;
}

function item(tag, text, className) {
  const el = document.createElement(tag);
  el.textContent = text;
  if (className) el.className = className;
  return el;
}

function button(text, onClick) {
  const el = item("button", text);
  el.type = "button";
  el.addEventListener("click", async () => {
    el.disabled = true;
    await onClick();
    await render();
  });
  return el;
}

// One action of the trail: when, who, which tool, on what, and how it ended.
function trailLine(action) {
  const time = new Date(action.at).toLocaleTimeString();
  const target = action.target ? ` ${action.target}` : "";
  const value = action.value !== undefined ? ` = ${JSON.stringify(action.value)}` : "";
  const note = action.outcome === "done" ? "" : `: ${action.note ?? ""}`;
  return `${time} ${action.agent} ${action.tool}${target}${value} — ${action.outcome}${note}`;
}

async function render() {
  const [status, tab] = await Promise.all([ask({ type: "status" }), currentTab()]);
  const [label, kind] = CONNECTION[status.connection] ?? [status.connection, ""];
  const conn = $("connection");
  conn.textContent = label;
  conn.className = `state ${kind}`;
  conn.title = status.error ?? "";
  conn.dataset.state = status.connection;

  const shared = new Map(status.shared.map((s) => [s.tabId, s]));
  const share = $("share");
  const note = $("current-note");
  $("current-title").textContent = tab?.title || tab?.url || "";
  const web = tab && /^https?:/.test(tab.url ?? "");
  share.disabled = !web;
  share.dataset.tabId = tab?.id ?? "";
  share.textContent = tab && shared.has(tab.id) ? "Stop sharing this tab" : "Share this tab";
  note.textContent = web
    ? shared.has(tab?.id)
      ? `Agents may drive this tab while it stays on ${shared.get(tab.id).site}.`
      : "Sharing lets your agents read and drive this tab until it leaves this site."
    : "Only http and https pages can be shared.";

  const list = $("shared");
  list.replaceChildren();
  for (const s of status.shared) {
    const li = document.createElement("li");
    li.dataset.tabId = s.tabId;
    const row = item("div", "", "row");
    row.append(item("span", s.title || s.url, "title"));
    row.append(button("Unshare", () => ask({ type: "unshare", tabId: s.tabId })));
    li.append(row);
    if (s.dialog) {
      const kind = s.dialog === "beforeunload" ? "\"leave site?\"" : s.dialog;
      li.append(item("div", `A ${kind} dialog waits for an answer`, "dialog"));
    }
    for (const session of s.sessions) {
      const line = item("div", `driven by ${session.controller} `, "session");
      line.append(button("End", () => ask({ type: "end", sessionId: session.sessionId })));
      li.append(line);
    }
    if (s.trail.length > 0) {
      const trail = item("ol", "", "trail");
      for (const action of [...s.trail].reverse()) trail.append(item("li", trailLine(action), action.outcome));
      li.append(trail);
    }
    list.append(li);
  }
  const pause = $("pause");
  pause.textContent = status.paused ? "Resume agents" : "Pause all agents";
  pause.dataset.paused = String(status.paused);
  $("cue").checked = status.cue;
  $("none").hidden = status.shared.length > 0;
  document.body.dataset.rendered = String(Date.now());
}

$("share").addEventListener("click", async () => {
  const tab = await currentTab();
  if (!tab) return;
  const status = await ask({ type: "status" });
  const isShared = status.shared.some((s) => s.tabId === tab.id);
  const result = await ask({ type: isShared ? "unshare" : "share", tabId: tab.id });
  if (result?.error) $("current-note").textContent = result.error;
  else await render();
});

$("pause").addEventListener("click", async () => {
  await ask({ type: "pause", paused: $("pause").dataset.paused !== "true" });
  await render();
});

$("cue").addEventListener("change", async () => {
  await ask({ type: "cue", shown: $("cue").checked });
  await render();
});

render();
