// The user sees and controls what agents do: the popup lists each action
// on each shared tab (never a password), one click pauses every agent and
// survives a restart of the service worker, and the page shows which agent
// acts in it with a cue no page script, snapshot, text or screenshot can
// see or click. Usage: node trail.mjs HOST_EXECUTABLE
import zlib from "node:zlib";
import { check, run, until } from "./harness.mjs";

const PAUSED = "The user paused all agents in Tabvine";
const CUE_COLOUR = [0xb3, 0x26, 0x1e];

// Pixels of exactly the cue's colour in a PNG (8-bit RGB or RGBA).
function cuePixels(png) {
  const width = png.readUInt32BE(16);
  const height = png.readUInt32BE(20);
  const bpp = png[25] === 6 ? 4 : 3;
  const idat = [];
  for (let at = 8; at < png.length;) {
    const length = png.readUInt32BE(at);
    if (png.toString("latin1", at + 4, at + 8) === "IDAT") idat.push(png.subarray(at + 8, at + 8 + length));
    at += 12 + length;
  }
  const raw = zlib.inflateSync(Buffer.concat(idat));
  const stride = width * bpp;
  let previous = Buffer.alloc(stride);
  let count = 0;
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    const row = Buffer.from(raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1)));
    for (let x = 0; x < stride; x++) {
      const a = x >= bpp ? row[x - bpp] : 0;
      const b = previous[x];
      const c = x >= bpp ? previous[x - bpp] : 0;
      const p = a + b - c;
      const paeth = Math.abs(p - a) <= Math.abs(p - b) && Math.abs(p - a) <= Math.abs(p - c) ? a
        : Math.abs(p - b) <= Math.abs(p - c) ? b : c;
      row[x] = (row[x] + [0, a, b, (a + b) >> 1, paeth][filter]) & 0xff;
    }
    for (let x = 0; x < stride; x += bpp) {
      if (row[x] === CUE_COLOUR[0] && row[x + 1] === CUE_COLOUR[1] && row[x + 2] === CUE_COLOUR[2]) count++;
    }
    previous = row;
  }
  return count;
}

async function popupStatus(world, page) {
  const popup = await world.openPopup(page);
  const status = await popup.evaluate(() => chrome.runtime.sendMessage({ type: "status" }));
  return { popup, status };
}

async function main(world) {
  const page = await world.tab(`${world.site}/trail.html`);
  await world.share(page);
  const other = await world.tab(`${world.site}/index.html`);
  await world.share(other);
  const agent = await world.connectAgent("claude-code-trail");
  const tabId = await world.tabIdOf(agent.call, `${world.site}/trail.html`);
  const otherTab = await world.tabIdOf(agent.call, `${world.site}/index.html`);
  const { sessionId } = await agent.call("browser_start", { tabId });
  const second = await agent.call("browser_start", { tabId: otherTab });

  await agent.call("browser_fill", { sessionId, selector: "#note", value: "remember the milk" });
  await agent.call("browser_fill", { sessionId, selector: "#pw", value: "hunter2-secret" });
  await agent.call("browser_click", { sessionId, selector: "#save" });
  await agent.refusal("browser_click", { sessionId, selector: "#missing" });
  const snap = await agent.call("browser_snapshot", { sessionId });
  const { text } = await agent.call("browser_text", { sessionId });

  // The cue: present, closed to the page, never clicked, never read.
  await page.bringToFront();
  const cue = await page.evaluate(() => {
    const host = document.querySelector("tabvine-cue");
    const hit = document.elementFromPoint(innerWidth - 30, 16);
    return host && { closed: host.shadowRoot === null, hitsHost: hit === host };
  });
  check(cue?.closed === true && cue.hitsHost === false, `the cue is in the page, closed and not clickable: ${JSON.stringify(cue)}`);
  check(!JSON.stringify(snap).includes("acting in this tab") && !text.includes("acting in this tab"), "snapshot and text leave the cue out");
  check(cuePixels(Buffer.from(await page.screenshot({ encoding: "binary" }))) > 50, "the cue shows to the user");
  const shot = await agent.client.callTool({ name: "browser_screenshot", arguments: { sessionId } });
  check(cuePixels(Buffer.from(shot.content[0].data, "base64")) === 0, "the agent's screenshot shows the page alone");

  // The trail, in the popup.
  const { popup, status } = await popupStatus(world, page);
  const trail = status.shared.find((s) => s.tabId === tabId).trail;
  const line = (tool, outcome) => trail.find((a) => a.tool === tool && a.outcome === outcome && a.agent === "Claude");
  check(line("browser_start", "done") && line("browser_click", "done") && line("browser_click", "refused") &&
    line("browser_snapshot", "done") && line("browser_text", "done"), `the trail lists each action: ${JSON.stringify(trail)}`);
  check(trail.some((a) => a.tool === "browser_fill" && a.value === "remember the milk"), "a typed value is shown");
  check(trail.some((a) => a.tool === "browser_fill" && a.value === "••••"), "a password shows as its mask");
  const stored = await popup.evaluate(() => chrome.storage.session.get(null));
  const shown = await popup.$eval("#shared", (list) => list.textContent);
  check(!JSON.stringify(stored).includes("hunter2") && !shown.includes("hunter2"), "the password is neither stored nor shown");
  check(shown.includes("browser_click") && shown.includes("— refused"), `the popup shows the trail: ${shown.slice(0, 400)}`);

  // Pause: every tab refuses, sessions stay, and a restarted worker keeps it.
  await popup.click("#pause");
  await until("the pause", () => popup.$eval("#pause", (b) => b.dataset.paused === "true"));
  await popup.close();
  for (const id of [sessionId, second.sessionId]) {
    check((await agent.refusal("browser_text", { sessionId: id })).startsWith(PAUSED), "a paused call says so");
  }
  const restarted = await world.openPopup(page);
  const before = await restarted.evaluate(() => chrome.runtime.sendMessage({ type: "status" }));
  const cdp = await restarted.createCDPSession();
  await cdp.send("ServiceWorker.enable");
  await cdp.send("ServiceWorker.stopAllWorkers");
  await restarted.close();
  const back = await world.openPopup(page);
  const after = await until("a new worker", async () => {
    const s = await back.evaluate(() => chrome.runtime.sendMessage({ type: "status" }));
    return s.startedAt !== before.startedAt && s;
  });
  check(after.paused === true && after.shared.find((s) => s.tabId === tabId).trail.length === trail.length + 1,
    `the pause and the trail survive the restart: ${JSON.stringify(after).slice(0, 300)}`);
  await back.click("#pause");
  await until("the resume", () => back.$eval("#pause", (b) => b.dataset.paused === "false"));
  await back.close();

  // The old sessions ended with the worker's connection; a new one works.
  const fresh = await until("the extension to reconnect", () => agent.call("browser_start", { tabId }).catch(() => false));
  await agent.call("browser_click", { sessionId: fresh.sessionId, selector: "#save" });
  await agent.call("browser_stop", { sessionId: fresh.sessionId });
  await until("the cue to go", () => page.evaluate(() => !document.querySelector("tabvine-cue")));

  // Unsharing clears the tab's trail.
  const unshare = await world.openPopup(page);
  await unshare.click("#share");
  await until("the tab to be unshared", () => unshare.$eval("#share", (b) => b.textContent === "Share this tab"));
  const stored2 = await unshare.evaluate(() => chrome.storage.session.get("trail"));
  check(!(String(tabId) in (stored2.trail ?? {})), "the trail went with the grant");
  await unshare.close();
}

await run("trail check", main);
