// The agent's hand in a page: clicks, typing and keys as trusted input
// through the debugger, aimed by the page's hands; selecting and scrolling
// in the page itself. A call returns as soon as its effect is done, or, when
// it started a navigation, once the new page has loaded.
import { keyEvent } from "../../lib/keys.js";
import { Refusal, errorText, refuse } from "../errors.js";
import { whenDialog, withDebugger } from "../debugger.js";
import { inPage, pick, pin, targetOf } from "../documents.js";
import { withDialog } from "./dialogs.js";
import { cueArgs } from "../cue.js";
import { awaitLoad, watchLoads } from "./navigation.js";

// Sends one input command, unless a dialog opens first: a trusted event
// whose handler calls confirm() is answered only once the dialog closes.
async function racingDialogs(tabId, sending) {
  const dialog = whenDialog(tabId);
  try {
    const opened = await Promise.race([sending.then(() => null), dialog.opened]);
    if (opened) sending.catch(() => {});
    return opened;
  } finally {
    dialog.stop();
  }
}

// What an input call answers after its last event: the dialog it opened,
// or the page it loaded.
async function outcome(tabId, doc, watch, answer, dialog) {
  if (dialog) return withDialog(answer, dialog);
  return loaded(tabId, watch, answer, !await documentStays(tabId, doc, watch));
}

// Whether the pinned document is still the one the tab shows, with no load
// begun since the hand acted; a document that is gone has navigated.
async function documentStays(tabId, doc, watch) {
  const after = await inPage(tabId, doc, "after_hand", {}).catch(() => ({ navigating: true }));
  return !after.navigating && !watch.began();
}

// The answer once a navigation the hand started, if any, has loaded.
async function loaded(tabId, watch, answer, navigating) {
  if (navigating || watch.began()) return { ...answer, navigated: true, ...await awaitLoad(tabId, watch) };
  return answer;
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

export async function click(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args, true));
  const watch = watchLoads(tabId);
  try {
    return await withDebugger(tabId, async (send) => {
      const aim = await inPage(tabId, doc, "aim", { ...pick(args, "ref", "selector"), ...cueArgs(args.sessionId) });
      if (aim.unreachable) {
        // A frame whose position in the tab this document cannot learn (a
        // parent of another origin): the page's hands click in place.
        const clicked = await inPage(tabId, doc, "click", pick(args, "ref", "selector"));
        return outcome(tabId, doc, watch, { ...clicked, trusted: false }, null);
      }
      const at = { x: aim.x, y: aim.y };
      const button = { button: "left", clickCount: aim.clickCount };
      const answer = { clicked: aim.clicked };
      if (aim.clickCount === 2) answer.doubleClick = true;
      await send("Input.dispatchMouseEvent", { type: "mouseMoved", ...at });
      let dialog = await racingDialogs(tabId, send("Input.dispatchMouseEvent",
        { type: "mousePressed", ...at, ...button, buttons: 1 }));
      if (!dialog) {
        // A document gone by now went away with the press (a page that
        // navigates on mousedown): there is nothing left to release on.
        const pressed = await inPage(tabId, doc, "pressed", {}).catch(() => null);
        if (!pressed) return outcome(tabId, doc, watch, { clicked: aim.clicked }, null);
        if (!pressed.onTarget) {
          // Something moved in between; whatever now lies there gets no click.
          refuse(`The press did not reach ${aim.clicked}: the page moved something over it. ` +
            "Take a new browser_snapshot and try again.");
        }
        try {
          dialog = await racingDialogs(tabId, send("Input.dispatchMouseEvent",
            { type: "mouseReleased", ...at, ...button, buttons: 0 }));
        } catch (e) {
          // The release that takes the tab to a site Tabvine may not enter
          // can fail as the page goes; the click was done all the same. A
          // release that timed out says so as it is.
          if (e instanceof Refusal || await documentStays(tabId, doc, watch)) throw e;
          return loaded(tabId, watch, answer, true);
        }
      }
      return outcome(tabId, doc, watch, answer, dialog);
    });
  } finally {
    watch.stop();
  }
}

// Types as a user does: selects what the field holds, then types over it,
// so the page's key, input and framework handlers all run; `change` follows
// when the focus leaves the field, as it would for a user.
export async function fill(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args, true));
  const watch = watchLoads(tabId);
  try {
    return await withDebugger(tabId, async (send) => {
      const prepared = await inPage(tabId, doc, "prepare_fill",
        { ...pick(args, "ref", "selector", "value"), ...cueArgs(args.sessionId) });
      if (prepared.done) return prepared.done;
      await refuseFocusElsewhere(tabId, doc);
      const value = args.value;
      const last = [...value].pop();
      const lastKey = last !== undefined && last >= " " ? keyEvent(last) : null;
      let dialog = null;
      if (value === "") {
        dialog = await pressKey(tabId, send, keyEvent("Backspace"));
      } else {
        const head = lastKey ? value.slice(0, value.length - last.length) : value;
        if (head) dialog = await racingDialogs(tabId, send("Input.insertText", { text: head }));
        if (!dialog && lastKey) dialog = await pressKey(tabId, send, lastKey);
      }
      if (dialog) return withDialog({ filled: prepared.filled }, dialog);
      const typed = await inPage(tabId, doc, "field_value", pick(args, "ref", "selector"));
      const { navigating, ...answer } = typed;
      return loaded(tabId, watch, answer, navigating);
    });
  } finally {
    watch.stop();
  }
}

async function pressKey(tabId, send, event) {
  const { text, ...base } = event;
  const dialog = await racingDialogs(tabId, send("Input.dispatchKeyEvent",
    { type: text === undefined ? "rawKeyDown" : "keyDown", ...base, text }));
  if (dialog) return dialog;
  return racingDialogs(tabId, send("Input.dispatchKeyEvent", { type: "keyUp", ...base }));
}

export async function select(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args, true));
  return inPage(tabId, doc, "select", { ...pick(args, "ref", "selector", "value"), ...cueArgs(args.sessionId) });
}

export async function scroll(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args));
  return inPage(tabId, doc, "scroll", pick(args, "ref", "selector", "deltaX", "deltaY"));
}

export async function press(tabId, args) {
  const event = keyEvent(args.key);
  if (!event) {
    refuse(`Unknown key ${JSON.stringify(args.key)}; use a key such as Enter, Escape, Tab, ArrowDown, ` +
      "Backspace, a single character, or a combination such as Shift+Tab.");
  }
  const doc = await pin(tabId, targetOf(tabId, args));
  const watch = watchLoads(tabId);
  try {
    return await withDebugger(tabId, async (send) => {
      const focus = await inPage(tabId, doc, "focus", { ...pick(args, "ref", "selector"), ...cueArgs(args.sessionId) });
      if (focus.focused === false) {
        refuse("That element cannot take keyboard focus; press keys on a field, button or link.");
      }
      await refuseFocusElsewhere(tabId, doc);
      const { text, ...base } = event;
      const answer = { pressed: args.key, focused: focus.focused };
      let dialog = await racingDialogs(tabId, send("Input.dispatchKeyEvent",
        { type: text === undefined ? "rawKeyDown" : "keyDown", ...base, text }));
      if (!dialog) {
        // The key's own action (Tab, say) or the page may have moved the
        // focus into another frame; the release goes only where the press may.
        const left = await inPage(tabId, doc, "key_target", {})
          .then(() => refuseFocusElsewhere(tabId, doc))
          .then(() => null, (e) => e);
        if (left) return outcome(tabId, doc, watch, { ...answer, released: false, releaseNote: errorText(left) }, null);
        dialog = await racingDialogs(tabId, send("Input.dispatchKeyEvent", { type: "keyUp", ...base }));
      }
      return outcome(tabId, doc, watch, answer, dialog);
    });
  } finally {
    watch.stop();
  }
}
