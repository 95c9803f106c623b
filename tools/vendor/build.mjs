// Turns the libraries Tabvine vendors into classic scripts that
// chrome.scripting can inject beside the page's hands, and writes them into
// extension/vendor/ (committed; nothing is built when the tests run).
//   cd tools/vendor && npm ci && node build.mjs
import { build } from "esbuild";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const vendor = path.resolve(here, "../../extension/vendor");
const pkg = JSON.parse(fs.readFileSync(path.join(here, "node_modules/dom-accessibility-api/package.json"), "utf8"));

await build({
  stdin: {
    contents: 'export { computeAccessibleName, getRole } from "dom-accessibility-api";',
    resolveDir: here,
  },
  bundle: true,
  minify: true,
  format: "iife",
  globalName: "__tabvineAccname",
  target: "chrome116",
  legalComments: "none",
  banner: { js: `// dom-accessibility-api ${pkg.version} (MIT), bundled by tools/vendor/build.mjs.` },
  outfile: path.join(vendor, "dom-accessibility-api.js"),
});
fs.copyFileSync(path.join(here, "node_modules/dom-accessibility-api/LICENSE.md"), path.join(vendor, "dom-accessibility-api.LICENSE"));
