// The agent's hand in a page: click, fill, select, scroll and keys.
import { keyEvent } from "../../lib/keys.js";
import { errorText, refuse } from "../errors.js";
import { withDebugger } from "../debugger.js";
import { inPage, pick, pin, targetOf } from "../documents.js";
import { settle } from "./navigation.js";

export async function click(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args, true));
  return settle(tabId, () => inPage(tabId, doc, "click", pick(args, "ref", "selector")), 300);
}

export async function fill(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args, true));
  return inPage(tabId, doc, "fill", pick(args, "ref", "selector", "value"));
}

export async function select(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args, true));
  return inPage(tabId, doc, "select", pick(args, "ref", "selector", "value"));
}

export async function scroll(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args));
  return inPage(tabId, doc, "scroll", pick(args, "ref", "selector", "deltaX", "deltaY"));
}

// Runs in every frame of the tab: whether this document is where the
// keyboard focus ends (it has the focus and hands it to no frame of its own).
// (Page globals go through `self`, which is the page's window there.)
function holdsFocus() {
  if (!self.document.hasFocus()) return false;
  let el = self.document.activeElement;
  while (el && el.shadowRoot && el.shadowRoot.activeElement) el = el.shadowRoot.activeElement;
  return !(el instanceof self.HTMLIFrameElement || el instanceof self.HTMLFrameElement ||
    el instanceof self.HTMLObjectElement || el instanceof self.HTMLEmbedElement);
}

// The page's hands check the pinned document itself; this asks the others,
// since a focus on its way into another site's frame can already rest there
// while the pinned document does not know it yet.
async function refuseFocusElsewhere(tabId, doc) {
  const results = await chrome.scripting.executeScript({ target: { tabId, allFrames: true }, func: holdsFocus });
  if (results.some((r) => r.result === true && r.documentId !== doc.documentId)) {
    refuse("The keyboard focus is in another frame than the one the key was meant for; Tabvine sends keys only " +
      "to the page the user shared. Pass a ref or selector of a field in it.");
  }
}

export async function press(tabId, args) {
  const event = keyEvent(args.key);
  if (!event) {
    refuse(`Unknown key ${JSON.stringify(args.key)}; use a key such as Enter, Escape, Tab, ArrowDown, ` +
      "Backspace, a single character, or a combination such as Shift+Tab.");
  }
  const doc = await pin(tabId, targetOf(tabId, args));
  return settle(tabId, () => withDebugger(tabId, async (send) => {
    // Lets a background tab report where its focus is, which the page's
    // hands check before each key.
    await send("Emulation.setFocusEmulationEnabled", { enabled: true });
    const focus = await inPage(tabId, doc, "focus", pick(args, "ref", "selector"));
    if (focus.focused === false) {
      refuse("That element cannot take keyboard focus; press keys on a field, button or link.");
    }
    await refuseFocusElsewhere(tabId, doc);
    const { text, ...base } = event;
    await send("Input.dispatchKeyEvent", { type: text === undefined ? "rawKeyDown" : "keyDown", ...base, text });
    // The key's own action (Tab, say) or the page may have moved the focus
    // into another frame; the release goes only where the press may.
    const after = await inPage(tabId, doc, "key_target", {})
      .then(() => refuseFocusElsewhere(tabId, doc))
      .then(() => ({}), (e) => ({ left: e }));
    if (after.left) {
      return { pressed: args.key, focused: focus.focused, released: false, releaseNote: errorText(after.left) };
    }
    await send("Input.dispatchKeyEvent", { type: "keyUp", ...base });
    return { pressed: args.key, focused: focus.focused };
  }), 300);
}
