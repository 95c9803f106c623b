// Each tool through the whole chain (agent -> mcp -> broker -> native host
// -> Tabvine -> page) next to the same effect sent straight over the
// DevTools protocol, on generated pages of 100, 1,000 and 10,000 controls
// in one real Chromium. Rounds alternate the two, and it prints p50, p99
// and chain ÷ direct per tool and page.
//   node bench/browser/bench.mjs HOST_EXECUTABLE [--rounds N] [--sizes 100,1000,10000] [--tools snapshot,text]
// Needs `npm ci` in host/tests/browser (scripts/test.sh runs it).
import { check, run } from "../../host/tests/browser/harness.mjs";

const flag = (name, fallback) => {
  const at = process.argv.indexOf(name);
  return at > 0 && at + 1 < process.argv.length ? process.argv[at + 1] : fallback;
};
const ROUNDS = Number(flag("--rounds", "30"));
const SIZES = flag("--sizes", "100,1000,10000").split(",").map(Number);
const TOOLS = flag("--tools", "").split(",").filter(Boolean);

// The control of kind `k` (0 button, 1 field, 2 select) nearest the middle.
const middle = (n, k) => `#c${Math.floor(n / 10) * 5 + k}`;

// Bytes of the snapshot's element list per element it offers, by page.
const bytesPerElement = new Map();

const percentile = (times, p) => {
  const sorted = [...times].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((sorted.length * p) / 100))];
};

async function evaluate(cdp, expression) {
  const { result, exceptionDetails } = await cdp.send("Runtime.evaluate", { expression, returnByValue: true });
  check(!exceptionDetails, `direct: ${expression}`);
  return result.value;
}

// The pairs for one page: the tool through the chain, and the same effect
// direct. Both leave the page as they found it, or alternate.
function cases(n, agent, sessionId, cdp) {
  const { call, client } = agent;
  const button = middle(n, 0);
  const field = middle(n, 1);
  const select = middle(n, 2);
  let flip = false;
  const mouseClick = async (x, y) => {
    await cdp.send("Input.dispatchMouseEvent", { type: "mousePressed", x, y, button: "left", clickCount: 1 });
    await cdp.send("Input.dispatchMouseEvent", { type: "mouseReleased", x, y, button: "left", clickCount: 1 });
  };
  return {
    click: [
      () => call("browser_click", { sessionId, selector: button }),
      async () => {
        const [x, y] = await evaluate(cdp, `(() => { const el = document.querySelector("${button}");
          el.scrollIntoView({ block: "center" }); const r = el.getBoundingClientRect();
          return [r.left + r.width / 2, r.top + r.height / 2]; })()`);
        await mouseClick(x, y);
      },
    ],
    press: [
      () => call("browser_press", { sessionId, selector: field, key: "a" }),
      async () => {
        await evaluate(cdp, `document.querySelector("${field}").focus()`);
        await cdp.send("Input.dispatchKeyEvent", { type: "keyDown", key: "a", code: "KeyA", windowsVirtualKeyCode: 65, text: "a" });
        await cdp.send("Input.dispatchKeyEvent", { type: "keyUp", key: "a", code: "KeyA", windowsVirtualKeyCode: 65 });
      },
    ],
    fill: [
      () => call("browser_fill", { sessionId, selector: field, value: "hello" }),
      async () => {
        await evaluate(cdp, `(() => { const el = document.querySelector("${field}"); el.focus(); el.select(); })()`);
        await cdp.send("Input.insertText", { text: "hello" });
      },
    ],
    select: [
      () => {
        flip = !flip;
        return call("browser_select", { sessionId, selector: select, value: flip ? "b" : "a" });
      },
      () => evaluate(cdp, `(() => { const el = document.querySelector("${select}");
        el.value = el.value === "a" ? "b" : "a"; el.dispatchEvent(new Event("change", { bubbles: true })); })()`),
    ],
    scroll: [
      () => {
        flip = !flip;
        return call("browser_scroll", { sessionId, deltaY: flip ? 200 : -200 });
      },
      () => evaluate(cdp, `scrollBy(0, ${flip ? -200 : 200})`),
    ],
    text: [
      () => call("browser_text", { sessionId }),
      () => evaluate(cdp, "document.body.innerText.length"),
    ],
    snapshot: [
      async () => {
        const snap = await call("browser_snapshot", { sessionId });
        bytesPerElement.set(n, JSON.stringify(snap.elements).length / snap.count);
      },
      () => evaluate(cdp, `[...document.querySelectorAll("a[href], button, input, select, textarea, [role], [tabindex]")]
        .map((el) => [el.localName, el.getAttribute("aria-label") || (el.labels?.[0] ?? el).innerText.slice(0, 100)]).length`),
    ],
    screenshot: [
      async () => {
        const shot = await client.callTool({ name: "browser_screenshot", arguments: { sessionId } });
        check(!shot.isError, "screenshot");
      },
      async () => {
        const { cssLayoutViewport: l, cssVisualViewport: v } = await cdp.send("Page.getLayoutMetrics");
        await cdp.send("Page.captureScreenshot", { format: "png", optimizeForSpeed: true,
          clip: { x: v.pageX, y: v.pageY, width: l.clientWidth, height: l.clientHeight, scale: 1 } });
      },
    ],
  };
}

async function timed(action) {
  const start = process.hrtime.bigint();
  await action();
  return Number(process.hrtime.bigint() - start) / 1e6;
}

async function main(world) {
  const agent = await world.connectAgent("bench");
  for (const n of SIZES) {
    const { page, tabId } = await world.shareTab(`${world.site}/generated?n=${n}`, agent.call);
    await page.bringToFront();
    const { sessionId } = await agent.call("browser_start", { tabId });
    const cdp = await page.createCDPSession();
    const rounds = n >= 10000 ? Math.max(5, Math.floor(ROUNDS / 3)) : ROUNDS;
    for (const [tool, [chain, direct]] of Object.entries(cases(n, agent, sessionId, cdp))) {
      if (TOOLS.length > 0 && !TOOLS.includes(tool)) continue;
      await chain();  // warm both paths once
      await direct();
      const times = { chain: [], direct: [] };
      for (let i = 0; i < rounds; i++) {
        times.chain.push(await timed(chain));
        times.direct.push(await timed(direct));
      }
      const p50 = { chain: percentile(times.chain, 50), direct: percentile(times.direct, 50) };
      const p99 = { chain: percentile(times.chain, 99), direct: percentile(times.direct, 99) };
      console.log(`${String(n).padStart(6)}  ${tool.padEnd(10)}  chain p50 ${p50.chain.toFixed(1).padStart(7)} ms  ` +
        `p99 ${p99.chain.toFixed(1).padStart(7)} ms   direct p50 ${p50.direct.toFixed(1).padStart(7)} ms  ` +
        `p99 ${p99.direct.toFixed(1).padStart(7)} ms   ratio ${(p50.chain / p50.direct).toFixed(2)}` +
        (tool === "snapshot" ? `   ${bytesPerElement.get(n).toFixed(0)} bytes/element` : ""));
    }
    await agent.call("browser_stop", { sessionId });
    await cdp.detach();
    await page.close();
  }
}

await run("browser benchmark", main, { limitMs: 1800000 });
