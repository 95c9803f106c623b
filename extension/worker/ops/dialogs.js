// Page dialogs (alert, confirm, prompt, "leave site?"). While one is open
// the page waits for an answer, so every call on the tab says so at once;
// Enter accepts it, Escape dismisses it, and browser_fill gives a prompt
// its text.
import { refuse } from "../errors.js";
import { awaitLoad, watchLoads } from "./navigation.js";

const HINTS = {
  alert: "Press Enter to close it.",
  confirm: "Press Enter to accept it or Escape to dismiss it.",
  prompt: "Give it text with browser_fill (no ref or selector needed), then press Enter to accept or Escape to dismiss.",
  beforeunload: "The page asks whether to leave it: press Enter to leave or Escape to stay.",
};

export function dialogText(dialog) {
  const what = dialog.type === "beforeunload" ? "A \"leave site?\""
    : `${/^[aeiou]/.test(dialog.type) ? "An" : "A"} ${dialog.type}`;
  return `${what} dialog is open in this tab${dialog.message ? `: ${JSON.stringify(dialog.message)}` : ""}. ` +
    (HINTS[dialog.type] ?? HINTS.confirm);
}

export function described(dialog) {
  return { type: dialog.type, message: dialog.message };
}

// `answer` with the open dialog that holds the page, as every answer names it.
export function withDialog(answer, dialog) {
  return { ...answer, dialog: described(dialog), dialogNote: dialogText(dialog) };
}

// browser_press while a dialog is open.
export async function press(tabId, args, dialog) {
  const accept = args.key === "Enter" ? true : args.key === "Escape" ? false : null;
  if (accept === null) refuse(`${dialogText(dialog)} Only Enter and Escape answer it.`);
  const params = { accept };
  if (dialog.type === "prompt" && accept) params.promptText = dialog.promptText ?? dialog.defaultPrompt;
  const watch = watchLoads(tabId);
  let late = {};
  try {
    // Not through the tab's queue: a call waiting behind the dialog may
    // hold it, and only this answer frees it.
    await chrome.debugger.sendCommand({ tabId }, "Page.handleJavaScriptDialog", params);
    if (dialog.type === "beforeunload" && accept) late = await awaitLoad(tabId, watch);
  } finally {
    watch.stop();
  }
  const answer = { dialog: described(dialog), accepted: accept, ...late };
  if (params.promptText !== undefined) answer.promptText = params.promptText;
  return answer;
}

// browser_fill while a dialog is open: the text a prompt is answered with.
export async function fill(tabId, args, dialog) {
  if (dialog.type !== "prompt") refuse(`${dialogText(dialog)} Only a prompt takes text.`);
  if (typeof args.value !== "string") refuse("Pass value as a string.");
  // The live state (the dispatcher hands it in), so that Enter answers with it.
  dialog.promptText = args.value;
  return { dialog: described(dialog), promptText: args.value };
}
