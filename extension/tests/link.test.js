// The native link's announce, its refused state and its back-off, with
// stand-ins for the port, the clock and the timers.
import { test } from "node:test";
import assert from "node:assert/strict";
import { RETRY_MAX_MS, RETRY_MIN_MS, createLink } from "../worker/link.js";

function world({ failConnect = false } = {}) {
  const ports = [];
  const timers = [];
  const clock = { now: 0 };
  const requests = [];
  let lost = 0;
  const chrome = {
    runtime: {
      getManifest: () => ({ version: "0.1.0" }),
      connectNative(name) {
        if (failConnect) throw new Error(`Specified native messaging host not found: ${name}`);
        const port = { posted: [], onMessage: [], onDisconnect: [] };
        port.postMessage = (m) => port.posted.push(m);
        port.onMessage.addListener = (f) => port.onMessage.push(f);
        port.onDisconnect.addListener = (f) => port.onDisconnect.push(f);
        port.receive = (m) => port.onMessage.forEach((f) => f(m));
        port.drop = () => port.onDisconnect.forEach((f) => f());
        ports.push(port);
        return port;
      },
    },
  };
  const link = createLink({
    chrome,
    onRequest: async (request) => (requests.push(request), { id: request.id, ok: true, data: {} }),
    onLost: () => lost++,
    setTimeout: (f, ms) => (timers.push({ f, ms }), timers.length),
    clearTimeout: () => {},
    now: () => clock.now,
    browserInfo: async () => ({ name: "Chromium", version: "156" }),
  });
  return { link, ports, timers, clock, requests, lost: () => lost };
}

const settle = () => new Promise((r) => setImmediate(r));

test("the link announces itself, turns ready when accepted, and answers on the port a request came on", async () => {
  const w = world();
  w.link.connect();
  await settle();
  assert.deepEqual(w.ports[0].posted, [{ id: 0, ok: true, data: { announce: {
    protocolVersion: 1, version: "0.1.0", browser: { name: "Chromium", version: "156" } } } }]);
  assert.equal(w.link.status().connection, "connecting");
  w.ports[0].receive({ id: 0, ok: true, data: { ready: true } });
  assert.deepEqual(w.link.status(), { connection: "ready", error: null });
  w.ports[0].receive({ id: 9, op: "tab_list", args: {} });
  await settle();
  assert.deepEqual(w.ports[0].posted.at(-1), { id: 9, ok: true, data: {} });
});

test("a refusal stays shown through the disconnect, and failing hosts are retried ever more slowly", async () => {
  const w = world();
  w.link.connect();
  w.ports[0].receive({ id: 0, ok: false, error: "Tabvine is too old for this host." });
  w.ports[0].drop();
  assert.deepEqual(w.link.status(), { connection: "refused", error: "Tabvine is too old for this host." });
  assert.equal(w.lost(), 1);
  for (let i = 0; i < 7; i++) {
    w.timers.at(-1).f();
    w.ports.at(-1).drop();
  }
  assert.deepEqual(w.timers.map((t) => t.ms), [1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000]);
  // A connection that held for a while earns a quick retry again.
  w.timers.at(-1).f();
  w.clock.now += 60000;
  w.ports.at(-1).drop();
  assert.equal(w.timers.at(-1).ms, RETRY_MIN_MS);
  assert.equal(RETRY_MAX_MS, 30000);
});

test("a host that cannot be started is retried, with Chrome's reason kept for the popup", () => {
  const w = world({ failConnect: true });
  w.link.connect();
  assert.match(w.link.status().error, /native messaging host not found/);
  assert.equal(w.timers.length, 1);
  assert.equal(w.link.connected(), false);
});
