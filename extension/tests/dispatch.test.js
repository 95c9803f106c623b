// The dispatcher applies each operation's guards from its table entry, so
// these run the guards with stand-in handlers over the real shared-tab rules.
import { test } from "node:test";
import assert from "node:assert/strict";
import { installChrome } from "./chrome_stub.js";

const { stored } = installChrome({ 7: { url: "https://shop.example/cart", title: "Cart" } });
const sharedTabs = await import("../worker/shared_tabs.js");
const { CONTENT_NOTICE, dispatcher } = await import("../worker/dispatch.js");
const { refuse } = await import("../worker/errors.js");

const entry = (run, { session = true, after = "recheck", content = true } = {}) => ({ run, session, after, content });
let ran = 0;
const handle = dispatcher({
  page_read: entry(async () => (ran++, { text: "page words" })),
  page_unshares: entry(async (tabId) => (await sharedTabs.unshare(tabId), { text: "next page" })),
  page_leaves: entry(async (tabId) => (await sharedTabs.recheck(tabId, "https://evil.test/"), { clicked: "link" }),
    { after: "follow" }),
  plain: entry(async () => ({ n: 1 }), { session: false, after: "none", content: false }),
  huge: entry(async () => ({ text: "x".repeat(3 * 1024 * 1024) }), { session: false, after: "none" }),
  wordy: entry(async () => refuse("why ".repeat(1000)), { session: false, after: "none" }),
  breaks: entry(async () => {
    throw new Error("Cannot access contents of the page.");
  }, { session: false, after: "none" }),
});
const ask = (op, tabId = 7, sessionId = "s1") => handle({ id: 3, op, tab_id: tabId, args: { sessionId } });

async function shareAndStart(sessionId) {
  await sharedTabs.share(7);
  assert.equal(sharedTabs.startSession(sessionId, "Claude", 7, []).tabId, 7);
}

test("a page operation runs only for a session in its tab, and its answer is marked as the page's", async () => {
  await sharedTabs.load();
  assert.match((await ask("page_read")).error, /session has ended/);
  assert.equal((await ask("page_read", "7")).error, "The request names no tab.");
  assert.equal(ran, 0, "no handler ran without consent");
  await shareAndStart("s1");
  assert.deepEqual(await ask("page_read"), { id: 3, ok: true, data: { text: "page words", contentNotice: CONTENT_NOTICE } });
  assert.deepEqual(await ask("plain", undefined, undefined), { id: 3, ok: true, data: { n: 1 } });
  assert.match((await ask("nope")).error, /^Unknown operation nope;/);
});

test("a grant that ends during the call refuses what was read, or says where the tab went", async () => {
  await shareAndStart("s2");
  const refused = await ask("page_unshares", 7, "s2");
  assert.equal(refused.ok, false);
  assert.match(refused.error, /stopped sharing/);
  await shareAndStart("s3");
  const moved = await ask("page_leaves", 7, "s3");
  assert.equal(moved.ok, true);
  assert.equal(moved.data.clicked, "link");
  assert.equal(moved.data.shared, false);
  assert.match(moved.data.note, /left the shared site shop\.example/);
});

test("answers too large to deliver are refused, and error texts are cut", async () => {
  assert.match((await ask("huge")).error, /^The answer would be \d+ bytes, more than the 2097152 bytes/);
  const wordy = await ask("wordy");
  assert.equal(wordy.error.length, 1000);
  assert.ok(wordy.error.endsWith("…"));
});

test("the browser's own failures are kept with their stacks; refusals are not", async () => {
  await ask("wordy");
  assert.match((await ask("breaks")).error, /^The page cannot be read by the extension/);
  await new Promise((r) => setTimeout(r, 0));
  const [failure, ...more] = stored.recentFailures;
  assert.equal(more.length, 0);
  assert.equal(failure.op, "breaks");
  assert.match(failure.stack, /Cannot access contents[\s\S]*dispatch\.test\.js/);
});
