#!/usr/bin/env bash
# Sets up, builds and runs every test, the real-MCP-client check included.
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

ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2
