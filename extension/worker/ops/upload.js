// A file the user chose, handed to the file input the agent chose.
import { baseName } from "../../lib/filename.js";
import { refuse } from "../errors.js";
import { withDebugger } from "../debugger.js";
import { inPage, pick, pin, targetOf } from "../documents.js";

export async function upload(tabId, args) {
  const path = Array.isArray(args.paths) ? args.paths[0] : undefined;
  if (typeof path !== "string" || path === "") refuse("The host sent no file to upload.");
  const doc = await pin(tabId, targetOf(tabId, args, true));
  const token = crypto.randomUUID();
  const marked = await inPage(tabId, doc, "mark_upload", { ...pick(args, "ref", "selector"), token });
  const name = baseName(path);
  let seen = null;
  try {
    await withDebugger(tabId, async (send) => {
      await send("DOM.getDocument", { depth: -1, pierce: true });
      const { searchId, resultCount } = await send("DOM.performSearch", {
        query: `[data-tabvine-upload="${token}"]`,
        includeUserAgentShadowDOM: false,
      });
      try {
        // The page can see the marker and copy it; exactly one match, an
        // input carrying our token, is the element the agent chose.
        if (resultCount !== 1) refuse("The file input could not be found for the upload; try again.");
        const { nodeIds } = await send("DOM.getSearchResults", { searchId, fromIndex: 0, toIndex: 1 });
        const { node } = await send("DOM.describeNode", { nodeId: nodeIds[0] });
        const attrs = node.attributes ?? [];
        const carries = attrs.some((v, i) => i % 2 === 0 && v === "data-tabvine-upload" && attrs[i + 1] === token);
        if (node.nodeName !== "INPUT" || !carries) refuse("The file input changed during the upload; try again.");
        await send("DOM.setFileInputFiles", { files: [path], nodeId: nodeIds[0] }).catch((e) => {
          if (/not allowed/i.test(String(e?.message ?? e))) {
            refuse("Chrome did not let Tabvine hand the file to the page; the user can allow it with " +
              "\"Allow access to file URLs\" on Tabvine's details page in chrome://extensions.");
          }
          throw e;
        });
        // The element the page's hands hold, not the one the marker now
        // sits on, must be the one that received the file.
        seen = await inPage(tabId, doc, "unmark_upload", { token, expect: name });
        if (!seen.arrived) {
          refuse(`The upload failed: the file did not reach ${marked.element}; the page moved Tabvine's marker ` +
            (seen.emptied ? "to another input, which Tabvine emptied again. " : "elsewhere. ") +
            "Take a new browser_snapshot and try again.");
        }
      } finally {
        await send("DOM.discardSearchResults", { searchId }).catch(() => {});
      }
    });
  } finally {
    if (!seen) await inPage(tabId, doc, "unmark_upload", { token }).catch(() => {});
  }
  return { uploaded: name, element: marked.element, files: seen.files };
}
