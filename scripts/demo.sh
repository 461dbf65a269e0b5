#!/usr/bin/env bash
# The main job against the emulated handset: write the demo images, dump them back, compare.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
echo "demo: the programs are built; the write/dump/compare run arrives with the command-line tool."
