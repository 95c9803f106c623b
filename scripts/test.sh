#!/usr/bin/env bash
# Sets up, builds and runs every test, the real-MCP-client check included,
# under g++ and again under clang (whose -Wthread-safety checks the locking).
set -euo pipefail
cd "$(dirname "$0")/.."

# The real-client checks run the official MCP SDK under Node.js; the
# extension's check drives Debian's Chromium.
need=()
command -v node >/dev/null && command -v npm >/dev/null || need+=(nodejs npm)
[ -x /usr/bin/chromium ] || need+=(chromium)
if ((${#need[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${need[@]}"
fi
scripts/setup.sh
for dir in host/tests/mcp_sdk host/tests/browser; do
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
done

if [ -z "${VELKOR_SKIP_CLANG:-}" ]; then
  CXX=clang++ BUILD_DIR=build-clang scripts/setup.sh
  # One real-browser run, in the g++ pass below, is enough.
  ctest --test-dir build-clang --output-on-failure -j2 -E RealChromium
fi
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2
