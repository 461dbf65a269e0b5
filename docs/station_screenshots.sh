#!/usr/bin/env bash
# Screenshots of kelvane-station under Xvfb and openbox: 8 slots on 8 paced emulated handsets (one
# of them giving bad checksums), a 512 KiB image at speed 3 without verify, continuous mode with the next handset
# 3 s after each switch-off; then the recipe panel of a station started with a recipe that cannot
# run; then the operator view of a recipe file with the yield panel; then the operator's prompt and
# serial numbers scanned into four slots (xdotool types them as a barcode scanner would).  Usage: docs/station_screenshots.sh [build-dir]   (KELVANE_SCREENSHOT_DISPLAY: the X display
# number to use, 97 by default)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
work="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"
cp "$root/samples/flash.txt" "$root/samples/dwl87.spm" .
head -c 524288 /dev/urandom > firmware.bin
head -c 4097 /dev/urandom > voice.ogm
ports=()
for i in 1 2 3 4 5 6 7 8; do
  fault=()
  [ "$i" = 6 ] && fault=(--fault sector-checksum:4)
  "$build/emulator/handset-emulator" --pace --power-on-again-ms 3000 --switch-on-delay-ms $((i * 150)) \
    "${fault[@]}" > "emu$i.txt" 2>/dev/null &
  pids+=($!)
done
sleep 0.5
for i in 1 2 3 4 5 6 7 8; do ports+=("$(head -1 "emu$i.txt")"); done

display="${KELVANE_SCREENSHOT_DISPLAY:-97}"
export DISPLAY=":$display" XDG_CONFIG_HOME="$work/config"
Xvfb ":$display" -screen 0 1280x700x24 >/dev/null 2>&1 & pids+=($!)
sleep 1
openbox >/dev/null 2>&1 & pids+=($!)
sleep 1
"$build/apps/station/kelvane-station" --bin1 firmware.bin --no-verify --log "$work/jobs.jsonl" --start "${ports[@]}" &
pids+=($!)
sleep 7
import -window root "$root/docs/station-8-slots-mid-job.png"
sleep 14
import -window root "$root/docs/station-8-slots-continuous.png"
wc -l < "$work/jobs.jsonl"

# Model 3 has no place for an Ogm1 image: the window opens with the problem, nothing starts.
# Ended by SIGTERM, as a shutdown would: the running slots stop and close their ports (the close
# box would ask first while slots run; a killed station leaves its port locks behind for a while).
kill -TERM "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true
"$build/apps/station/kelvane-station" --bin1 firmware.bin --ogm1 voice.ogm --model 3 \
  --log "$work/jobs.jsonl" --start "${ports[@]:0:2}" &
pids+=($!)
sleep 3
import -window root "$root/docs/station-recipe.png"

# The operator view of a recipe file with the yield panel, mid-job, after a few handsets.
kill -TERM "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true
"$build/apps/cli/kelvane" recipe create --bin1 firmware.bin --name LINE-A --revision 3 \
  --output line-a.json >/dev/null
"$build/apps/station/kelvane-station" --recipe line-a.json --operator ann \
  --log "$work/jobs.jsonl" --start "${ports[@]}" &
pids+=($!)
sleep 25
import -window root "$root/docs/station-operator-yield.png"

# The operator's name asked at start, then each unit's serial number typed into its slot's field
# and Return, as a barcode scanner does. The clicks are at places of the window's own layout.
kill -TERM "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true
"$build/apps/station/kelvane-station" --recipe line-a.json --operator ann --serial ask \
  --log "$work/jobs.jsonl" "${ports[@]:0:4}" &
pids+=($!)
dialog="$(xdotool search --sync --onlyvisible --name 'Operator$' | head -1)"
sleep 1
import -frame -window "$dialog" "$root/docs/station-operator-prompt.png"
xdotool windowactivate --sync "$dialog" key Return
window="$(xdotool search --sync --onlyvisible --name '^Kelvane station — ann$' | head -1)"
sleep 1
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
click 1011 251  # Start all
sleep 1
for k in 0 1 2; do
  click 221 $((301 + 30 * k))
  xdotool type --delay 20 "SN-1000$k"
  xdotool key Return
  sleep 2
done
click 221 391
xdotool type --delay 20 "SN-100"
sleep 0.5
import -frame -window "$window" "$root/docs/station-serial-scan.png"
