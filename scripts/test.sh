#!/usr/bin/env bash
# Sets up, builds and runs every test, the real-MCP-client and real-browser
# checks included, under g++ and again under clang (whose -Wthread-safety
# checks the locking) with the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/packages.sh
source scripts/packages.sh

# The real-client checks run the official MCP SDK under Node.js; the
# extension's check drives Debian's Chromium.
need=()
command -v node >/dev/null && command -v npm >/dev/null || need+=(nodejs npm)
[ -x /usr/bin/chromium ] || need+=(chromium)
if ((${#need[@]})); then
  apt_install "${need[@]}"
fi
scripts/setup.sh --tests
# One layout for every C++ file: a file clang-format would change fails here.
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror
# Includes between the C++ layers point one way only.
scripts/check_layers.sh
for dir in host/tests/mcp_sdk host/tests/browser; do
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
done
# The extension and its tests' JavaScript: any ESLint finding fails here.
scripts/lint.sh

if [ -z "${VELKOR_SKIP_CLANG:-}" ]; then
  # The clang pass also runs every test under AddressSanitizer and
  # UndefinedBehaviorSanitizer, so each submission is checked for both.
  CXX=clang++ BUILD_DIR=build-clang CMAKE_ARGS="-DVELKOR_SANITIZE=ON ${CMAKE_ARGS:-}" scripts/setup.sh --tests
  # One real-browser run, in the g++ pass below, is enough.
  ctest --test-dir build-clang --output-on-failure -j2 -E RealChromium
  # A short run of every fuzz target over its committed seeds.
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_WERROR=ON \
    -DVELKOR_FUZZ=ON -DVELKOR_TESTS=OFF >/dev/null
  cmake --build build-fuzz
  fuzz/run_all.sh build-fuzz "${VELKOR_FUZZ_SECONDS:-10}"
fi
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2
