#!/usr/bin/env bash
# Cross-builds the layers without Qt (protocol library, downloader and dumper engines, the
# in-process emulated handset) and their tests for 64-bit Windows, then runs the tests under Wine.
# Usage: scripts/windows-tests.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
build="${1:-build-windows}"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_ENGINE_ONLY=ON -DKELVANE_WERROR=ON \
  -DKELVANE_GTEST_SOURCE_DIR=/usr/src/googletest >/dev/null
cmake --build "$build" -j2

# A Wine prefix of our own, made once per build directory; no window, no Mono or Gecko prompts.
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
cd "$build"
ctest --output-on-failure -j2 --timeout 900
