// The whole chain in a real browser: the official MCP SDK client drives
// `velkor-computer-use-host mcp`, the broker relays to the native host that
// Chromium starts for the Tabvine extension, and the extension drives a small
// site served here. The user's part (sharing a tab) is played through the
// extension's own toolbar popup. Usage: node check.mjs HOST_EXECUTABLE
import { createHash } from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { EXTENSION_ID, check, extensionDir, refOf, run, sleep, until } from "./harness.mjs";

const IDLE_MS = 35000;  // past Chrome's 30 s limit for an idle service worker
const uploadText = "hello from the user";

function extensionIdFromKey() {
  const manifest = JSON.parse(fs.readFileSync(path.join(extensionDir, "manifest.json"), "utf8"));
  const hex = createHash("sha256").update(Buffer.from(manifest.key, "base64")).digest("hex").slice(0, 32);
  return [...hex].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join("");
}

// ---- the agents ------------------------------------------------------------------

function pngDimensions(base64) {
  const bytes = Buffer.from(base64, "base64");
  check(bytes.subarray(0, 8).equals(Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a])), "PNG signature");
  return { width: bytes.readUInt32BE(16), height: bytes.readUInt32BE(20) };
}

async function firstAgent(world, page, otherPage, tabId) {
  const { site } = world;
  const { client, call, refusal } = await world.connectAgent("claude-code-check");
  const { tools } = await client.listTools();
  check(tools.length === 19, "19 tools");

  check((await refusal("browser_start", { tabId: 2147483000 })).includes("not shared"), "an unshared tab is refused");
  const started = await call("browser_start", { tabId });
  const sessionId = started.sessionId;
  check(started.tabId === tabId, "the session runs in the requested tab");

  const popup = await world.openPopup(page);
  await until("the popup to name the agent", () => popup.$eval("#shared", (l) => l.textContent.includes("driven by Claude")));
  await popup.close();

  // Observe and act in the main document.
  const snap = await call("browser_snapshot", { sessionId });
  check(snap.frameId === 0 && typeof snap.documentId === "string", "snapshot names its frame and document");
  const name = refOf(snap, (e) => e.role === "textbox" && e.name.includes("Name"), "the name field");
  const colour = refOf(snap, (e) => e.role === "combobox", "the colour select");
  const send = refOf(snap, (e) => e.role === "button" && e.name === "Send order", "the send button");
  await call("browser_fill", { sessionId, ref: name, value: "Ada" });
  await call("browser_select", { sessionId, ref: colour, value: "green" });
  await call("browser_click", { sessionId, ref: send });
  let text = (await call("browser_text", { sessionId })).text;
  check(text.includes("Sent Ada in green"), `the click reached the page's handler: ${text}`);
  // Typed, so input fires as the text goes in, and change once the click
  // took the focus away.
  check(/input [1-9]\d*, change 1, value Ada/.test(text), `fill fired input and change: ${text}`);

  await call("browser_press", { sessionId, selector: "#keys-field", key: "x" });
  await call("browser_press", { sessionId, selector: "#keys-field", key: "Enter" });
  const scrolled = await call("browser_scroll", { sessionId, selector: "#scroller", deltaY: 300 });
  check(scrolled.after.y === 300, `scrolled the container: ${JSON.stringify(scrolled)}`);
  text = (await call("browser_text", { sessionId })).text;
  check(text.includes("keys: x Enter"), `keys reached the field: ${text}`);
  // Scroll events come with the page's next frame, which a tab in the
  // background paints when it gets to it.
  await until("the page to see the scroll", async () => (await call("browser_text", { sessionId })).text.includes("scrolled 300"));

  // A child frame, addressed by its document.
  const { frames } = await until("both child frames", async () => {
    const listed = await call("browser_frames", { sessionId });
    return listed.frames.length === 3 && listed;
  });
  const child = frames.find((f) => f.frameId !== 0 && f.shared !== false);
  const foreign = frames.find((f) => f.shared === false);
  check(child?.url === `${site}/frame.html` && foreign && !("url" in foreign), `frames: ${JSON.stringify(frames)}`);
  const refused = await refusal("browser_text", { sessionId, frameId: foreign.frameId, documentId: foreign.documentId });
  check(refused.includes("another site"), `a frame from another site is not read: ${refused}`);
  check((await refusal("browser_text", { sessionId, frameId: child.frameId })).includes("documentId"), "a child frame needs its documentId");
  const inner = await call("browser_snapshot", { sessionId, frameId: child.frameId, documentId: child.documentId });
  const top = await call("browser_snapshot", { sessionId });
  check(top.frames === 2 && top.framesNote.includes("browser_frames"), `the snapshot points to its frames: ${top.frames}`);
  await call("browser_click", { sessionId, ref: refOf(inner, (e) => e.name === "Inner button", "the inner button") });
  const innerText = await call("browser_text", { sessionId, frameId: child.frameId, documentId: child.documentId });
  check(innerText.text.includes("inner clicked"), "the click in the child frame");

  // A screenshot of a tab that is not the active one.
  await otherPage.bringToFront();
  const shot = await client.callTool({ name: "browser_screenshot", arguments: { sessionId } });
  check(!shot.isError && shot.content[0].type === "image" && shot.content[0].mimeType === "image/png", `screenshot is a PNG image: ${JSON.stringify(shot).slice(0, 300)}`);
  const size = pngDimensions(shot.content[0].data);
  const viewport = await page.evaluate(() => ({
    width: Math.round(innerWidth * devicePixelRatio),
    height: Math.round(innerHeight * devicePixelRatio),
  }));
  // A viewport of fractional CSS pixels rounds one way in the picture and
  // may round the other in innerWidth and innerHeight.
  check(Math.abs(size.width - viewport.width) <= 1 && Math.abs(size.height - viewport.height) <= 1,
    `screenshot ${JSON.stringify(size)} has the page's size ${JSON.stringify(viewport)}`);

  // The file the user offered with --upload-file.
  const { files } = await call("browser_files");
  check(files.length === 1 && files[0].name === "hello.txt", `the user's file is listed: ${JSON.stringify(files)}`);
  await call("browser_upload", { sessionId, selector: "#file", selectionId: files[0].selectionId });
  text = (await call("browser_text", { sessionId })).text;
  check(text.includes(`uploaded hello.txt (${uploadText.length} bytes): ${uploadText}`), `the page received the file: ${text}`);

  const fetched = await call("browser_download", { sessionId, url: `${site}/files/report.txt`, filename: "reports/q3.txt" });
  check(fetched.path === path.join(world.downloads, "reports", "q3.txt"), `saved where asked: ${JSON.stringify(fetched)}`);
  check(fs.readFileSync(fetched.path, "utf8") === "quarterly report\n" && fetched.size === 17, "the download is complete");
  check((await refusal("browser_download", { sessionId, url: `${site}/files/report.txt`, filename: "../escape.txt" })).includes("inside"), "a name leaving the download folder is refused");

  // History.
  const page2 = await call("browser_navigate", { sessionId, url: `${site}/page2.html` });
  check(page2.url === `${site}/page2.html` && page2.title === "Second page", `navigate: ${JSON.stringify(page2)}`);
  check((await call("browser_back", { sessionId })).url === `${site}/index.html`, "back");
  check((await call("browser_forward", { sessionId })).url === `${site}/page2.html`, "forward");
  check((await call("browser_reload", { sessionId })).title === "Second page", "reload");

  // A link to another site withdraws the grant (browser_navigate would not
  // open it at all).
  const away = await call("browser_click", { sessionId, selector: "#away" });
  check(away.shared === false && !JSON.stringify(away).includes("Secret"), `the grant is withdrawn: ${JSON.stringify(away)}`);
  const gone = await refusal("browser_text", { sessionId });
  check(gone.includes("left the shared site"), `the old session cannot read the new site: ${gone}`);
  const { browsers } = await call("browser_tabs");
  check(!browsers[0].tabs.some((t) => t.tabId === tabId), "the tab is no longer listed");
  await call("browser_stop", { sessionId });
}

async function secondAgent(world, tabId) {
  const { client, call } = await world.connectAgent("codex-check");
  const { sessionId } = await call("browser_start", { tabId });
  await call("browser_fill", { sessionId, selector: "#name", value: "Grace" });
  await call("browser_click", { sessionId, selector: "#send" });
  const { text } = await call("browser_text", { sessionId });
  check(text.includes("Sent Grace in red"), `the second agent drives its own tab: ${text}`);
  const shot = await client.callTool({ name: "browser_screenshot", arguments: { sessionId } });
  pngDimensions(shot.content[0].data);
  await call("browser_stop", { sessionId });
  return call;
}

// ---- the run ---------------------------------------------------------------------

async function main(world) {
  check(extensionIdFromKey() === EXTENSION_ID, "the manifest key gives the documented extension ID");
  const { site } = world;
  const pageOne = await world.tab(`${site}/index.html`);
  const first = await world.share(pageOne);
  const pageTwo = await world.tab(`${site}/index.html?agent=two`);
  const second = await world.share(pageTwo);
  check(second.startedAt === first.startedAt && second.shared.length === 2, "both tabs are shared");

  const { call, refusal } = await world.connectAgent("observer");
  const tabs = await until("the extension to announce itself", async () => {
    const { browsers } = await call("browser_tabs");
    return browsers.length === 1 && browsers[0].tabs?.length === 2 && browsers[0].tabs;
  });
  const tabOne = tabs.find((t) => t.url === `${site}/index.html`).tabId;
  const tabTwo = tabs.find((t) => t.url.endsWith("agent=two")).tabId;

  // The user's file goes to the first session started, so agent one starts first.
  const one = firstAgent(world, pageOne, pageTwo, tabOne);
  one.catch(() => {});  // awaited below; a failure meanwhile must not crash the run
  await sleep(500);
  await Promise.all([one, secondAgent(world, tabTwo)]);

  // An open native port keeps the worker alive past Chrome's idle limit.
  await sleep(IDLE_MS);
  const { browsers } = await call("browser_tabs");
  check(browsers.length === 1 && browsers[0].tabs.length === 1, "still connected after idling");
  const popup = await world.openPopup(pageTwo);
  const later = await popup.evaluate(() => chrome.runtime.sendMessage({ type: "status" }));
  check(later.startedAt === first.startedAt && later.connection === "ready", "the same worker still runs");
  await popup.close();

  // The user stops sharing while an agent holds a session there.
  const { sessionId } = await call("browser_start", { tabId: tabTwo });
  await call("browser_text", { sessionId });
  const unshare = await world.openPopup(pageTwo);
  await unshare.click("#share");
  await until("the tab to be unshared", () => unshare.$eval("#share", (b) => b.textContent === "Share this tab"));
  await unshare.close();
  check((await call("browser_tabs")).browsers[0].tabs.length === 0, "no tab is listed once unshared");
  const why = await refusal("browser_text", { sessionId });
  check(why.includes("stopped sharing"), `an unshared tab refuses its session: ${why}`);
}

await run("browser check", main, { files: { "hello.txt": uploadText } });
