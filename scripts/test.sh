#!/usr/bin/env bash
# Builds everything and runs every test. CI passes -DKELVANE_WERROR=ON (and its build folders);
# the default folder is the demo's, with the same configuration, so only what is missing is built.
# Usage: scripts/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
build="${1:-build}"
shift || true
bash scripts/configure.sh "$build" "$@"
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
