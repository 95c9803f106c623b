import { test } from "node:test";
import assert from "node:assert/strict";
import { createHash, webcrypto } from "node:crypto";
import { CaptureStore, fromBase64, pngSize } from "../lib/captures.js";
import { resolveTarget } from "../lib/target.js";
import { checkDownloadName } from "../lib/filename.js";
import { keyEvent } from "../lib/keys.js";

// Chrome and newer Node.js have a global crypto; Debian 12's Node.js 18 does not.
globalThis.crypto ??= webcrypto;

const owner = { tabId: 4, sessionId: "s" };

test("a capture is served in chunks that rebuild it exactly, then freed", async () => {
  const store = new CaptureStore({ chunkSize: 5 });
  const bytes = Uint8Array.from({ length: 12 }, (_, i) => i * 21);
  const d = await store.put(bytes, owner);
  assert.equal(d.sha256, createHash("sha256").update(bytes).digest("hex"));
  assert.deepEqual([d.size, d.chunkSize, d.mime], [12, 5, "image/png"]);
  const got = [];
  let chunk;
  for (let offset = 0; !chunk?.eof; offset = chunk.nextOffset) {
    chunk = store.read(d.captureId, offset, owner);
    assert.equal(chunk.offset, offset);
    got.push(...fromBase64(chunk.base64));
  }
  assert.deepEqual(Uint8Array.from(got), bytes);
  assert.equal(chunk.nextOffset, 12);
  assert.match(store.read(d.captureId, 0, owner).error, /gone/);
});

test("captures belong to their session, age out and are capped", async () => {
  let now = 0;
  const store = new CaptureStore({ ttlMs: 1000, max: 2, now: () => now });
  const a = await store.put(new Uint8Array(3), owner);
  assert.match(store.read(a.captureId, 0, { tabId: 4, sessionId: "other" }).error, /gone/);
  assert.match(store.read(a.captureId, 3, owner).error, /outside/);
  now = 2000;
  assert.match(store.read(a.captureId, 0, owner).error, /gone/);
  const b = await store.put(new Uint8Array(3), owner);
  await store.put(new Uint8Array(3), owner);
  await store.put(new Uint8Array(3), owner);
  assert.match(store.read(b.captureId, 0, owner).error, /gone/, "the oldest makes room");
});

test("PNG size comes from IHDR", () => {
  const png = new Uint8Array(24);
  png.set([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  png.set([0, 0, 3, 32, 0, 0, 2, 88], 16);
  assert.deepEqual(pngSize(png), { width: 800, height: 600 });
  assert.equal(pngSize(new Uint8Array(24)), null);
});

test("refs name their document; selectors need a child frame's document", () => {
  const docs = new Map([["d1", { frameId: 0, documentId: "A" }], ["d2", { frameId: 5, documentId: "B" }]]);
  assert.deepEqual(resolveTarget({ ref: "d2e7" }, docs), { frameId: 5, documentId: "B" });
  assert.match(resolveTarget({ ref: "d3e1" }, docs).error, /Unknown ref/);
  assert.match(resolveTarget({ ref: "d2e7", frameId: 0 }, docs).error, /frame 5/);
  assert.match(resolveTarget({ ref: "d2e7", documentId: "A" }, docs).error, /another document/);
  assert.deepEqual(resolveTarget({ selector: "#x" }, docs), { frameId: 0 });
  assert.match(resolveTarget({ selector: "#x", frameId: 5 }, docs).error, /documentId of frame 5/);
  assert.deepEqual(resolveTarget({ selector: "#x", frameId: 5, documentId: "B" }, docs), { frameId: 5, documentId: "B" });
  assert.match(resolveTarget({}, docs, { needsElement: true }).error, /ref .* or a CSS selector/);
  assert.match(resolveTarget({ frameId: "abc" }, docs).error, /frameId/);
});

test("download names stay inside the download folder", () => {
  assert.deepEqual(checkDownloadName("reports/q3.txt"), { name: "reports/q3.txt" });
  assert.deepEqual(checkDownloadName(undefined), { name: undefined });
  for (const bad of ["/etc/x", "~/x", "C:/x", "../x", "a/../../x", "a//b", "./a", "a\\b", "", "a\nb", 7]) {
    assert.ok(checkDownloadName(bad).error, JSON.stringify(bad));
  }
});

test("keys map to DevTools key events", () => {
  assert.deepEqual(keyEvent("Enter"), { key: "Enter", code: "Enter", windowsVirtualKeyCode: 13, modifiers: 0, text: "\r" });
  assert.deepEqual(keyEvent("Shift+Tab"), { key: "Tab", code: "Tab", windowsVirtualKeyCode: 9, modifiers: 8 });
  assert.equal(keyEvent("a").text, "a");
  assert.equal(keyEvent("Control+a").text, undefined, "a shortcut inserts no text");
  assert.equal(keyEvent("Esc").key, "Escape");
  for (const bad of ["", "Hyper+a", "F13x", 5]) assert.equal(keyEvent(bad), null, String(bad));
});
