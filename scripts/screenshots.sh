#!/usr/bin/env bash
# Saves a picture of every panel of kelvane-downloader and dumper into docs/, in the states a
# technician sees them (idle, mid-operation against the emulated handset, each result window).
# Runs on a private X server with a window manager (scripts/with-wm.sh), so each picture is the
# window as a technician's screen shows it. The same tests fail when a text of a panel is cut off.
# Usage: scripts/screenshots.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target downloader_gui_test dumper_gui_test wm_flow_gui_test \
  handset-emulator
mkdir -p docs
export KELVANE_SCREENSHOTS="$PWD/docs"
scripts/with-wm.sh "$build/tests/downloader_gui_test" --gtest_filter='*EveryPanelShowsWholeInEachState*'
scripts/with-wm.sh "$build/tests/dumper_gui_test" --gtest_filter='*EveryPanelShowsWholeInEachState*'
scripts/with-wm.sh "$build/tests/wm_flow_gui_test" \
  --gtest_filter='*Prompt*:*APortThatWillNotOpen*:*InvertedRange*'
ls docs/*.png
