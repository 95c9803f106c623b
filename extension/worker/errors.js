// Refusals and failures, worded for the agent in one place: a refusal we
// raise is already a sentence that says what to do next; Chrome's own errors
// are turned into such sentences here.

// Refusals we raise ourselves, as opposed to failures of the browser.
export class Refusal extends Error {}

export function refuse(text) {
  throw new Refusal(text);
}

export function errorText(e) {
  if (e instanceof Refusal) return e.message;
  const text = String(e?.message ?? e);
  if (/No tab with id/.test(text)) return "The tab is gone; call browser_tabs.";
  if (/No document with id|Frame with ID \d+ (was not found|is showing error page)/.test(text)) {
    return "That frame's document is gone (it navigated or closed); call browser_frames or browser_snapshot again.";
  }
  if (/Cannot access|cannot be scripted|error page/i.test(text)) {
    return `The page cannot be read by the extension (${text}).`;
  }
  return `The browser failed: ${text}`;
}

// A catch handler that rethrows a browser failure marked with the step it
// came from: Chrome's own errors carry no stack, and the dispatcher's record
// of failures should say which call of an operation failed.
export function during(step) {
  return (e) => {
    if (!(e instanceof Refusal) && e !== null && typeof e === "object") {
      try {
        e.stack = `${e.stack ?? e.message}\n    during ${step}`;
      } catch {
        // A frozen error keeps its stack as it is.
      }
    }
    throw e;
  };
}

export { clip } from "../lib/clip.js";

// Settles as `promise` does, or refuses with `text` after `ms`.
export function withLimit(promise, ms, text) {
  let timer;
  const limit = new Promise((_, reject) => (timer = setTimeout(() => reject(new Refusal(text)), ms)));
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

export function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}
