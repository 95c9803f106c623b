// Facts that the extension and the C++ side must agree on, read from both
// sides, and the rules of the operations table; no browser needed.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { installChrome } from "./chrome_stub.js";

installChrome();
const { OPERATIONS } = await import("../worker/operations.js");
const { HOST, PROTOCOL_VERSION } = await import("../worker/link.js");
const { CHUNK_SIZE, MAX_IMAGE } = await import("../lib/captures.js");

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const read = (file) => fs.readFileSync(path.join(root, file), "utf8");
const constant = (file, name) => {
  const match = new RegExp(`\\b${name}\\s*=\\s*"?([^";\\s]+)"?;`).exec(read(file));
  assert.ok(match, `${name} in ${file}`);
  return match[1];
};

test("the table has exactly the operations the broker sends", () => {
  const sent = [...read("bridge/src/protocol/operations.h").matchAll(/=\s*"([a-z_]+)";/g)].map((m) => m[1]);
  assert.equal(sent.length, 19);
  assert.deepEqual(Object.keys(OPERATIONS).sort(), sent.sort());
});

test("every operation that shows page content to a session is checked against the grant afterwards", () => {
  for (const [op, entry] of Object.entries(OPERATIONS)) {
    assert.equal(typeof entry.run, "function", op);
    assert.ok(["recheck", "follow", "none"].includes(entry.after), op);
    if (entry.content && entry.session) assert.notEqual(entry.after, "none", op);
    if (op.startsWith("page_")) assert.equal(entry.session, true, `${op} needs a session in its tab`);
  }
});

test("the page operations the worker calls are the ones the page's hands offer", () => {
  const dir = path.join(root, "extension/worker");
  const worker = fs.readdirSync(dir, { recursive: true }).filter((f) => f.endsWith(".js"))
    .map((f) => fs.readFileSync(path.join(dir, f), "utf8")).join("\n");
  const called = new Set([...worker.matchAll(/(?:inPage\([^,]+,[^,]+,|callTop\([^,]+,)\s*"([a-z_]+)"/g)]
    .map((m) => m[1]));
  const hands = fs.readFileSync(path.join(root, "extension/page/hands.js"), "utf8");
  const offered = new Set([...hands.matchAll(/^\s*\["([a-z_]+)", \w+\],$/gm)].map((m) => m[1]));
  assert.deepEqual([...called].sort(), [...offered].sort());
});

test("limits, names and versions agree with the C++ side", () => {
  assert.equal(CHUNK_SIZE, Number(constant("bridge/src/broker/screenshot/screenshot.h", "kMaxChunkSize")));
  assert.equal(MAX_IMAGE, Number(constant("bridge/src/broker/screenshot/screenshot.h", "kMaxSize")));
  assert.equal(PROTOCOL_VERSION, Number(constant("bridge/src/peer/peer.h", "kProtocolVersion")));
  assert.equal(HOST, constant("bridge/src/manifest/manifest.h", "kHostName"));
  assert.equal(`${HOST}.json`, /^host_manifest_name=(\S+)$/m.exec(read("scripts/browsers.sh"))?.[1]);
  const manifest = JSON.parse(read("extension/manifest.json"));
  assert.equal(manifest.version, /project\(\w+ VERSION ([0-9.]+)/.exec(read("CMakeLists.txt"))[1]);
});
