// Screenshots of a shared tab, handed over in chunks the host can relay.
import { CaptureStore, MAX_IMAGE, fromBase64, pngSize } from "../../lib/captures.js";
import { Refusal, refuse } from "../errors.js";
import { DEVTOOLS_LIMIT_MS, FIRST_CAPTURE_LIMIT_MS } from "../limits.js";
import { reattach, withDebugger } from "../debugger.js";
import { pin } from "../documents.js";
import { hiddenDuring } from "../cue.js";

const captures = new CaptureStore();

export async function screenshot(tabId, args) {
  let shot;
  try {
    shot = await capture(tabId, FIRST_CAPTURE_LIMIT_MS, false);
  } catch (e) {
    if (!(e instanceof Refusal) || !/did not respond/.test(e.message)) throw e;
    // A tab in the background that was driven before sometimes never
    // delivers the frame a capture waits for; a new debugger session and a
    // view that must be painted afresh get one.
    await reattach(tabId);
    shot = await capture(tabId, DEVTOOLS_LIMIT_MS, true);
  }
  const bytes = fromBase64(shot.data);
  if (bytes.length > MAX_IMAGE) {
    refuse(`The screenshot is ${bytes.length} bytes, more than the ${MAX_IMAGE} bytes an agent can receive.`);
  }
  const description = await captures.put(bytes, { tabId, sessionId: args.sessionId });
  return { ...description, ...pngSize(bytes) };
}

export async function screenshotRead(tabId, args) {
  const chunk = captures.read(args.captureId, args.offset, { tabId, sessionId: args.sessionId });
  if (chunk.error) refuse(chunk.error);
  return chunk;
}

// What the user sees of the page, clipped to the viewport. `repaint` makes
// the page lay out at a one-pixel taller view first, which a page that
// stopped painting cannot ignore; it costs two layouts and the page sees a
// resize, so it is kept for a capture that got stuck.
function capture(tabId, limitMs, repaint) {
  return withDebugger(tabId, async (send) => {
    // Checked with the debugger attached, so a navigation that began before
    // cannot put another site's page into the picture unnoticed.
    await pin(tabId, { frameId: 0 });
    const { cssLayoutViewport: layout, cssVisualViewport: visual } = await send("Page.getLayoutMetrics");
    const clip = { x: visual.pageX, y: visual.pageY, width: layout.clientWidth, height: layout.clientHeight, scale: 1 };
    const options = { format: "png", optimizeForSpeed: true, clip };
    return hiddenDuring(tabId, async () => {
      if (!repaint) return send("Page.captureScreenshot", options);
      await send("Emulation.setDeviceMetricsOverride", {
        width: layout.clientWidth, height: layout.clientHeight + 1, deviceScaleFactor: 0, mobile: false,
      });
      try {
        return await send("Page.captureScreenshot", options);
      } finally {
        await send("Emulation.clearDeviceMetricsOverride").catch(() => {});
      }
    });
  }, limitMs);
}
