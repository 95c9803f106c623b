#!/usr/bin/env bash
# Sets up, builds and starts the broker in the foreground (Ctrl-C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/host/velkor-computer-use-host serve-browser "$@"
