#!/usr/bin/env bash
# Lints the extension and the JavaScript that tests it with the ESLint
# version pinned in tools/lint/package-lock.json. Extra arguments go to
# ESLint (--fix, for one).
set -euo pipefail
cd "$(dirname "$0")/.."

(cd tools/lint && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
tools/lint/node_modules/.bin/eslint --config tools/lint/eslint.config.js "$@" extension host/tests bench
