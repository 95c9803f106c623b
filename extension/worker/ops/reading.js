// What the agent reads of a page: its elements, its text, its frames.
import { MAX_TITLE, MAX_URL } from "../limits.js";
import { docKeyFor, frameCovered, inPage, pin, targetOf } from "../documents.js";

export async function snapshot(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args));
  const docKey = docKeyFor(tabId, doc.frameId, doc.documentId);
  const data = await inPage(tabId, doc, "snapshot", { docKey });
  return { frameId: doc.frameId, documentId: doc.documentId, ...data };
}

export async function text(tabId, args) {
  const doc = await pin(tabId, targetOf(tabId, args));
  const data = await inPage(tabId, doc, "text", {});
  return { frameId: doc.frameId, documentId: doc.documentId, ...data };
}

export async function frames(tabId) {
  const results = await chrome.scripting.executeScript({
    target: { tabId, allFrames: true },
    func: (limits) => ({
      url: location.href.slice(0, limits.url),
      origin: self.origin.slice(0, limits.url),
      title: self.document.title.slice(0, limits.title),
      name: self.name.slice(0, limits.title),
    }),
    args: [{ url: MAX_URL, title: MAX_TITLE }],
  });
  const list = results
    .filter((r) => r.result)
    .map(({ frameId, documentId, result: { url, origin, title, name } }) =>
      // Frames from other sites stay opaque: the user shared this site only.
      frameCovered(tabId, url, origin)
        ? { frameId, documentId, url, title, name }
        : { frameId, documentId, shared: false })
    .sort((a, b) => a.frameId - b.frameId);
  return { frames: list };
}
