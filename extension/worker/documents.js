// Which document of a shared tab a call acts in, and the calls into it:
// short document keys for refs, pinning a target to one exact document on
// the shared site, and injecting and calling the page's hands there.
import { resolveTarget } from "../lib/target.js";
import { webUrl } from "../lib/site.js";
import { during, refuse } from "./errors.js";
import * as sharedTabs from "./shared_tabs.js";

// Short names for documents, so refs stay short: tabId -> {next, keys, docs}.
const docKeys = new Map();

// Called when the tab's grant ends: its documents' keys go with it.
export function forget(tabId) {
  docKeys.delete(tabId);
}

function docTable(tabId) {
  let table = docKeys.get(tabId);
  if (!table) {
    table = { next: 1, keys: new Map(), docs: new Map() };
    docKeys.set(tabId, table);
  }
  return table;
}

export function docKeyFor(tabId, frameId, documentId) {
  const table = docTable(tabId);
  let key = table.keys.get(documentId);
  if (!key) {
    key = `d${table.next++}`;
    table.keys.set(documentId, key);
    table.docs.set(key, { frameId, documentId });
  }
  return key;
}

// The frame and document that the call's ref, selector, frameId and
// documentId name.
export function targetOf(tabId, args, needsElement = false) {
  const target = resolveTarget(args, docTable(tabId).docs, { needsElement });
  if (target.error) refuse(target.error);
  return target;
}

// The arguments among `names` that the agent gave, to hand to the page.
export function pick(args, ...names) {
  const out = {};
  for (const n of names) if (args[n] !== undefined) out[n] = args[n];
  return out;
}

function injection(tabId, target) {
  return target.documentId !== undefined
    ? { tabId, documentIds: [target.documentId] }
    : { tabId, frameIds: [target.frameId] };
}

// An about:blank or srcdoc frame has no site in its URL; its origin, which
// it inherits from its parent, says whose it is.
export function frameCovered(tabId, url, origin) {
  return sharedTabs.coversUrl(tabId, webUrl(url) ? url : origin);
}

// Resolves a target to one exact document on the shared site, so that the
// call that follows runs there or nowhere, even if the frame navigates in
// between. Nothing in the page has run yet when this refuses.
export async function pin(tabId, target) {
  const [probe] = await chrome.scripting.executeScript({
    target: injection(tabId, target),
    func: () => ({ url: location.href, origin: self.origin }),
  }).catch(during("pin"));
  if (!probe?.result) refuse("The frame did not answer; it may be navigating. Try again.");
  if (probe.frameId !== target.frameId) {
    refuse(`documentId ${target.documentId} is not in frame ${target.frameId}; call browser_frames again.`);
  }
  if (!frameCovered(tabId, probe.result.url, probe.result.origin)) {
    refuse(target.frameId === 0
      ? "The tab is leaving the shared site; call browser_tabs to see whether it is still shared."
      : `Frame ${target.frameId} shows another site than the one the user shared; Tabvine does not act in it.`);
  }
  return { frameId: probe.frameId, documentId: probe.documentId };
}

const HANDS_VERSION = 2;
const HANDS_FILES = ["vendor/dom-accessibility-api.js", "page/plan.js", "page/hands.js"];

// Runs inside the page, in Tabvine's isolated world. The answer crosses to
// the worker as one JSON string: Chrome carries a string much faster than
// the thousand small objects of a snapshot.
function callHands(op, args, version) {
  // A page element with id "__tabvine" shows up here too, so look for our
  // own object, not just the name.
  const hands = Object.hasOwn(globalThis, "__tabvine") ? globalThis.__tabvine : null;
  return JSON.stringify(hands && typeof hands.run === "function" && hands.version === version
    ? hands.run(op, args)
    : { missing: true });
}

// What callHands sent back, or null when the frame gave no answer.
function answerOf(result) {
  return typeof result?.result === "string" ? JSON.parse(result.result) : null;
}

// Runs one operation of the hands already in the tab's top document, if any
// are there, and returns its answer ({missing: true} when there are none);
// nothing is injected and nothing pinned, so only operations that touch
// Tabvine's own things (the cue) may go this way.
export async function callTop(tabId, op, args) {
  const [result] = await chrome.scripting.executeScript({
    target: { tabId, frameIds: [0] }, func: callHands, args: [op, args, HANDS_VERSION],
  });
  const answer = answerOf(result);
  return answer?.ok ? answer.data : { missing: true };
}

// Runs one operation of the page's hands in a pinned document, injecting
// them first when the document has none yet.
export async function inPage(tabId, doc, op, args) {
  const where = { tabId, documentIds: [doc.documentId] };
  const call = () => chrome.scripting.executeScript({ target: where, func: callHands, args: [op, args, HANDS_VERSION] })
    .catch(during(`the page's ${op}`));
  let answer = answerOf((await call())[0]);
  if (answer?.missing) {
    await chrome.scripting.executeScript({ target: where, files: HANDS_FILES }).catch(during("injecting the page's hands"));
    answer = answerOf((await call())[0]);
  }
  if (!answer || answer.missing) refuse("The page did not answer; it may be navigating. Try again.");
  if (!answer.ok) refuse(answer.error);
  return answer.data;
}
