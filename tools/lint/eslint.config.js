// One lint for the extension and the JavaScript that tests it. Run from the
// repository root (scripts/lint.sh does):
//   tools/lint/node_modules/.bin/eslint --config tools/lint/eslint.config.js extension host/tests bench
import { fileURLToPath } from "node:url";
import js from "@eslint/js";
import globals from "globals";

// Given --config, ESLint 9 reads the patterns below relative to the working
// directory; anchored at the repository root they keep meaning the same files
// when lint runs from a folder inside it, such as extension/.
const basePath = fileURLToPath(new URL("../..", import.meta.url));

// The service worker and the modules it imports run where there is no
// window or document, so only the worker's globals are allowed there; a stray
// DOM call fails at lint time instead of on the first request.
const workerSide = ["extension/background.js", "extension/worker/**/*.js", "extension/lib/**/*.js"];
const pageScripts = ["extension/page/**/*.js"];
const extensionTests = ["extension/tests/**/*.js"];

export default [
  {
    basePath,
    // Minified third-party code, kept byte-identical to its release.
    ignores: ["extension/vendor/**", "**/node_modules/**"],
  },
  { basePath, ...js.configs.recommended },
  {
    basePath,
    files: ["extension/**/*.js"],
    ignores: [...workerSide, ...pageScripts, ...extensionTests],
    languageOptions: {
      sourceType: "module",
      globals: { ...globals.browser, ...globals.serviceworker, chrome: "readonly" },
    },
  },
  {
    basePath,
    files: workerSide,
    languageOptions: {
      sourceType: "module",
      globals: { ...globals.serviceworker, chrome: "readonly" },
    },
  },
  {
    basePath,
    // Injected with chrome.scripting.executeScript({files}), which runs a
    // classic script in the page's isolated world.
    files: pageScripts,
    languageOptions: {
      sourceType: "script",
      globals: { ...globals.browser, chrome: "readonly" },
    },
  },
  {
    basePath,
    files: [...extensionTests, "host/tests/**/*.mjs", "bench/**/*.mjs"],
    languageOptions: {
      sourceType: "module",
      globals: globals.node,
    },
  },
  {
    basePath,
    // Puppeteer runs the callbacks given to evaluate() inside the page or
    // the popup. Only the names those callbacks use are listed, rather than
    // every browser global, so a stray `name` or `status` in the Node code
    // is still reported.
    files: ["host/tests/browser/**/*.mjs"],
    languageOptions: {
      globals: {
        chrome: "readonly",
        devicePixelRatio: "readonly",
        document: "readonly",
        innerHeight: "readonly",
        innerWidth: "readonly",
        window: "readonly",
      },
    },
  },
  {
    basePath,
    // The test site's pages load these with a plain <script src>.
    files: ["host/tests/browser/site/**/*.js"],
    languageOptions: {
      sourceType: "script",
      globals: globals.browser,
    },
  },
];
