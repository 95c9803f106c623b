// Time and size limits of the service worker.

// Below the broker's 120 s reply limit, so the agent hears our reason
// rather than a bare timeout.
export const LOAD_LIMIT_MS = 30000;
export const DOWNLOAD_LIMIT_MS = 100000;
export const OP_LIMIT_MS = 110000;
export const DEVTOOLS_LIMIT_MS = 30000;
export const FIRST_CAPTURE_LIMIT_MS = 5000;

// No answer leaves for the host above this many bytes of JSON: well under the
// host's frame and the broker's line limits, so that a page that makes its
// own answer huge gets that answer refused instead of ending the connection
// that every other tab's sessions share. Screenshot chunks stay far below it.
export const MAX_ANSWER_BYTES = 2 * 1024 * 1024;
// Titles and URLs that Chrome reports for a tab are the page's too.
export const MAX_TITLE = 300;
export const MAX_URL = 2000;
export const MAX_ERROR = 1000;
export const MAX_DIALOG = 500;
