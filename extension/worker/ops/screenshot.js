// Screenshots of a shared tab, handed over in chunks the host can relay.
import { CaptureStore, MAX_IMAGE, fromBase64, pngSize } from "../../lib/captures.js";
import { Refusal, refuse } from "../errors.js";
import { DEVTOOLS_LIMIT_MS, FIRST_CAPTURE_LIMIT_MS } from "../limits.js";
import { withDebugger } from "../debugger.js";
import { pin } from "../documents.js";

const captures = new CaptureStore();

export async function screenshot(tabId, args) {
  // A tab that has just gone to the background sometimes never delivers
  // the frame a capture waits for; a fresh debugger session asks again.
  let shot;
  try {
    shot = await capture(tabId, FIRST_CAPTURE_LIMIT_MS);
  } catch (e) {
    if (!(e instanceof Refusal) || !/did not respond/.test(e.message)) throw e;
    shot = await capture(tabId, DEVTOOLS_LIMIT_MS);
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

function capture(tabId, limitMs) {
  return withDebugger(tabId, async (send) => {
    // Checked with the debugger attached, so a navigation that began before
    // cannot put another site's page into the picture unnoticed.
    await pin(tabId, { frameId: 0 });
    // A background tab that was driven before may never paint again until
    // it is shown; a one-pixel taller view makes it paint, and the clip keeps
    // the picture to exactly what the user would see.
    const { cssLayoutViewport: layout, cssVisualViewport: visual } = await send("Page.getLayoutMetrics");
    await send("Emulation.setDeviceMetricsOverride", {
      width: layout.clientWidth, height: layout.clientHeight + 1, deviceScaleFactor: 0, mobile: false,
    });
    try {
      const clip = { x: visual.pageX, y: visual.pageY, width: layout.clientWidth, height: layout.clientHeight, scale: 1 };
      return await send("Page.captureScreenshot", { format: "png", clip });
    } finally {
      await send("Emulation.clearDeviceMetricsOverride").catch(() => {});
    }
  }, limitMs);
}
