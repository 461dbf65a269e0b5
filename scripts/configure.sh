#!/usr/bin/env bash
# The one configuration the README's two commands share: the demo builds a few targets of it,
# the test command the rest, so nothing is built twice. CI's own build folders add their options
# (warnings as errors among them) after the folder's name.
# Usage: scripts/configure.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
shift || true
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
