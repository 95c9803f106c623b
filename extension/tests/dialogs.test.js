// A page dialog, as the debugger reports it, blocks every call on its tab
// except the ones that answer it, and the user answering it frees the tab.
import { test } from "node:test";
import assert from "node:assert/strict";
import { installChrome } from "./chrome_stub.js";

installChrome({ 5: { url: "https://mail.example/inbox", title: "Inbox" } });
const sharedTabs = await import("../worker/shared_tabs.js");
const debuggerSessions = await import("../worker/debugger.js");
const { dispatcher } = await import("../worker/dispatch.js");
const { dialogText } = await import("../worker/ops/dialogs.js");

const entry = (run, onDialog = null) => ({ run, session: true, after: "recheck", content: false, onDialog });
const handle = dispatcher({
  page_read: entry(async () => ({ text: "inbox" })),
  page_answer: entry(async () => ({ pressed: true }), async (tabId, args, dialog) => ({ answered: dialog.type })),
  page_opens: entry(async (tabId) => {
    debuggerSessions.onEvent({ tabId }, "Page.javascriptDialogOpening", { type: "confirm", message: "Delete?" });
    return { clicked: "Delete" };
  }),
});
const ask = (op) => handle({ id: 1, op, tab_id: 5, args: { sessionId: "s" } });

test("an open dialog answers every call on its tab until someone answers it", async () => {
  await sharedTabs.load();
  await sharedTabs.share(5);
  sharedTabs.startSession("s", "Codex", 5, []);
  const waiting = debuggerSessions.whenDialog(5);
  const opened = await ask("page_opens");
  assert.deepEqual(opened.data.dialog, { type: "confirm", message: "Delete?" });
  assert.equal(opened.data.dialogNote, 'A confirm dialog is open in this tab: "Delete?". Press Enter to accept it or Escape to dismiss it.');
  assert.equal((await waiting.opened).type, "confirm", "a waiter hears of it at once");
  assert.equal((await ask("page_read")).error, opened.data.dialogNote);
  assert.deepEqual((await ask("page_answer")).data, { answered: "confirm" });
  debuggerSessions.onEvent({ tabId: 5 }, "Page.javascriptDialogClosed", { result: false });
  assert.deepEqual((await ask("page_read")).data, { text: "inbox" });
});

test("dialog texts say how to answer each kind", () => {
  assert.match(dialogText({ type: "alert", message: "Saved" }), /^An alert dialog .*"Saved"\. Press Enter to close it\.$/);
  assert.match(dialogText({ type: "prompt", message: "" }), /^A prompt dialog is open in this tab\. Give it text with browser_fill/);
  assert.match(dialogText({ type: "beforeunload", message: "" }), /^A "leave site\?" dialog .* Escape to stay\.$/);
});
