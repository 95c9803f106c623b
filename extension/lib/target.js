// Which document of a tab an element-level call runs in. A ref names its
// document ("d3e12": element 12 of the document the tab knows as d3), so an
// agent can act in a child frame with a ref alone; a selector needs the frame,
// and a child frame's documentId too, so a frame that navigated in the
// meantime is never acted on by mistake.
const REF = /^(d[1-9][0-9]*)e[1-9][0-9]*$/;

export function parseRef(ref) {
  const match = typeof ref === "string" ? REF.exec(ref) : null;
  return match ? { docKey: match[1] } : null;
}

// `docs` maps a docKey to {frameId, documentId}. Returns
// {frameId, documentId?} (documentId present when the call must run in that
// exact document) or {error}.
export function resolveTarget(args, docs, { needsElement = false } = {}) {
  const { ref, selector, frameId, documentId } = args;
  if (frameId !== undefined && !(Number.isSafeInteger(frameId) && frameId >= 0)) {
    return { error: "frameId must be a frame ID from browser_frames." };
  }
  if (documentId !== undefined && (typeof documentId !== "string" || documentId === "")) {
    return { error: "documentId must be a documentId from browser_frames." };
  }
  if (ref !== undefined) {
    const parsed = parseRef(ref);
    const doc = parsed && docs.get(parsed.docKey);
    if (!doc) return { error: `Unknown ref ${JSON.stringify(ref)}; take a new browser_snapshot.` };
    if (frameId !== undefined && frameId !== doc.frameId) {
      return { error: `Ref ${ref} belongs to frame ${doc.frameId}, not frame ${frameId}.` };
    }
    if (documentId !== undefined && documentId !== doc.documentId) {
      return { error: `Ref ${ref} belongs to another document than ${documentId}.` };
    }
    return { frameId: doc.frameId, documentId: doc.documentId };
  }
  if (selector !== undefined && (typeof selector !== "string" || selector === "")) {
    return { error: "selector must be a non-empty CSS selector." };
  }
  if (needsElement && selector === undefined) {
    return { error: "Pass a ref from browser_snapshot or a CSS selector." };
  }
  const frame = frameId ?? 0;
  if (frame !== 0 && documentId === undefined) {
    return { error: `Pass the documentId of frame ${frame} from browser_frames.` };
  }
  return documentId === undefined ? { frameId: frame } : { frameId: frame, documentId };
}
