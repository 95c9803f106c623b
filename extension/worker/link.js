// The native port to the Velkor host: connecting, the announce, the back-off
// between attempts, and the state the popup shows. Requests that arrive go
// to `onRequest`; their answers go back on the port they came from.

// The native host's registered name, and the announce's protocol version;
// the C++ side has the same two facts, and a test compares them.
export const HOST = "velkor.computer_use";
export const PROTOCOL_VERSION = 1;
export const RETRY_MIN_MS = 1000;
export const RETRY_MAX_MS = 30000;
// A connection that held this long earns a quick retry when it ends.
const STEADY_MS = 10000;

// `deps`: {onRequest(request) -> Promise<answer>, onLost(), chrome,
// setTimeout, clearTimeout, now, browserInfo() -> Promise<{name, version}>};
// tests pass stand-ins.
export function createLink(deps) {
  const { onRequest, onLost } = deps;
  const chromeApi = deps.chrome ?? globalThis.chrome;
  const setTimer = deps.setTimeout ?? setTimeout;
  const clearTimer = deps.clearTimeout ?? clearTimeout;
  const now = deps.now ?? Date.now;
  const describeBrowser = deps.browserInfo ?? browserInfo;
  const link = { port: null, state: "disconnected", error: null, retryMs: RETRY_MIN_MS, timer: null, since: 0 };

  function connect() {
    clearTimer(link.timer);
    link.timer = null;
    if (link.port) return;
    let port;
    try {
      port = chromeApi.runtime.connectNative(HOST);
    } catch (e) {
      link.error = String(e?.message ?? e);
      scheduleReconnect();
      return;
    }
    link.port = port;
    if (link.state !== "refused") link.state = "connecting";
    link.since = now();
    port.onMessage.addListener((message) => onHostMessage(port, message));
    port.onDisconnect.addListener(() => onDisconnect(port));
    announce(port);
  }

  async function announce(port) {
    const browser = await describeBrowser();
    if (link.port !== port) return;
    const version = chromeApi.runtime.getManifest().version;
    port.postMessage({ id: 0, ok: true, data: { announce: { protocolVersion: PROTOCOL_VERSION, version, browser } } });
  }

  function onDisconnect(port) {
    if (link.port !== port) return;
    link.error = chromeApi.runtime.lastError?.message ?? link.error;
    link.port = null;
    // A refusal says more than the disconnect that follows it.
    if (link.state !== "refused") link.state = "disconnected";
    onLost();
    // A host that keeps failing at once is retried ever more slowly.
    if (now() - link.since > STEADY_MS) link.retryMs = RETRY_MIN_MS;
    scheduleReconnect();
  }

  function scheduleReconnect() {
    if (link.timer) return;
    link.timer = setTimer(connect, link.retryMs);
    link.retryMs = Math.min(RETRY_MAX_MS, link.retryMs * 2);
  }

  function onHostMessage(port, message) {
    if (!message || typeof message !== "object") return;
    if (message.id === 0 && "ok" in message) {
      if (message.ok && message.data?.ready) {
        link.state = "ready";
        link.error = null;
        link.retryMs = RETRY_MIN_MS;
      } else if (!message.ok) {
        link.state = "refused";
        link.error = message.error ?? "the broker refused the extension";
      }
      return;
    }
    if (typeof message.op !== "string") return;
    onRequest(message).then((answer) => {
      if (link.port === port) port.postMessage(answer);
    });
  }

  return {
    connect,
    // Whether a port is open (the alarm reconnects when none is).
    connected: () => link.port !== null,
    status: () => ({ connection: link.state, error: link.error }),
  };
}

async function browserInfo() {
  const ua = navigator.userAgentData;
  try {
    const { fullVersionList } = await ua.getHighEntropyValues(["fullVersionList"]);
    const brand = pickBrand(fullVersionList);
    if (brand) return { name: brand.brand, version: brand.version };
  } catch {
    // Older browsers lack high-entropy hints; the plain brands still name it.
  }
  const brand = pickBrand(ua?.brands ?? []);
  return brand ? { name: brand.brand, version: brand.version } : { name: "Chromium" };
}

function pickBrand(list) {
  const real = list.filter((b) => !/not.?a.?brand/i.test(b.brand));
  return real.find((b) => b.brand !== "Chromium") ?? real[0];
}
