#!/usr/bin/env bash
# Saves a picture of every panel of kelvane-downloader and dumper into docs/, in the states a
# technician sees them (idle, mid-operation against the emulated handset, each result window).
# Runs offscreen: no display needed. The same tests fail when a text of a panel is cut off.
# Usage: scripts/screenshots.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target downloader_gui_test dumper_gui_test
mkdir -p docs
export QT_QPA_PLATFORM=offscreen KELVANE_SCREENSHOTS="$PWD/docs"
"$build/tests/downloader_gui_test" --gtest_filter='*EveryPanelShowsWholeInEachState*'
"$build/tests/dumper_gui_test" --gtest_filter='*EveryPanelShowsWholeInEachState*'
ls docs/*.png
