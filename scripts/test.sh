#!/usr/bin/env bash
# Sets up, builds and runs every test, the real-MCP-client check included,
# under g++ and again under clang (whose -Wthread-safety checks the locking).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# The real-client check runs the official MCP SDK under Node.js.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq nodejs npm
fi
(cd host/tests/mcp_sdk && npm ci --no-audit --no-fund --loglevel=error >/dev/null)

if [ -z "${VELKOR_SKIP_CLANG:-}" ]; then
  CXX=clang++ BUILD_DIR=build-clang scripts/setup.sh
  ctest --test-dir build-clang --output-on-failure -j2
fi
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2
