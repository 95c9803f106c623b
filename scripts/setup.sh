#!/usr/bin/env bash
# Installs what the build needs (Debian 12 packages) and builds into build/.
#   scripts/setup.sh           the program alone, from its build dependencies
#   scripts/setup.sh --tests   also the test and sanitizer tools, and every target
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/packages.sh
source scripts/packages.sh

tests=
case "${1:-}" in
  --tests) tests=1 ;;
  "") ;;
  *) echo "usage: scripts/setup.sh [--tests]" >&2; exit 2 ;;
esac

build_dir=${BUILD_DIR:-build}
args=(-DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Debug}" -DVELKOR_WERROR=ON)
if [ -n "$tests" ]; then
  ensure_packages "${build_packages[@]}" "${test_packages[@]}"
  # The benchmarks too, so that they keep building.
  args+=(-DVELKOR_TESTS=ON -DVELKOR_BENCH=ON)
else
  ensure_packages "${build_packages[@]}"
  # A first configure for serving must not ask for the test framework; a tree
  # that the tests configured keeps its tests, and only the program is built.
  [ -f "$build_dir/CMakeCache.txt" ] || args+=(-DVELKOR_TESTS=OFF)
fi
# shellcheck disable=SC2086 # CMAKE_ARGS holds several words
cmake -S . -B "$build_dir" -G Ninja "${args[@]}" ${CMAKE_ARGS:-} >/dev/null
if [ -n "$tests" ]; then
  cmake --build "$build_dir"
else
  cmake --build "$build_dir" --target velkor-computer-use-host
fi
