#!/usr/bin/env bash
# The main job against the emulated handset: write the demo images with read-back verify, dump
# the written sectors back, compare them with the images, print one summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Only what the demo runs; scripts/test.sh builds the rest in the same folder.
bash scripts/configure.sh build
cmake --build build -j "$(nproc)" --target kelvane handset-emulator demo_images

kelvane=$PWD/build/apps/cli/kelvane
emulator=$PWD/build/emulator/handset-emulator
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-demo-XXXXXX")
emulator_pid=""
cleanup() {
  if [ -n "$emulator_pid" ]; then
    kill "$emulator_pid" 2>/dev/null || true
    wait "$emulator_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A working directory as a technician has one: flash description, bootstrap, the four images
# (made at build time, deterministic).
cp samples/flash.txt samples/dwl87.spm "$work"/
cp build/demo/demo_bin1.bin build/demo/demo_bin2.bin build/demo/demo_ogm1.ogm \
  build/demo/demo_ogm2.ogm "$work"/

# The emulated handset prints its serial device first; its flash is the first description.
"$emulator" --flash-description "$work/flash.txt" >"$work/emulator.out" 2>"$work/emulator.err" &
emulator_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(head -n 1 "$work/emulator.out" 2>/dev/null || true)
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "demo: the emulated handset did not start" >&2
  cat "$work/emulator.err" >&2
  exit 1
fi

start=$(date +%s.%N)
"$kelvane" -C "$work" --port "$port" write --model 0 --bin1 demo_bin1.bin --bin2 demo_bin2.bin \
  --ogm1 demo_ogm1.ogm --ogm2 demo_ogm2.ogm --verify

# Dump the bytes each image occupies (flash offsets of the image slots, model 0) and compare.
total=0
check() {
  local name=$1 offset=$2
  local size
  size=$(stat -c %s "$work/$name")
  "$kelvane" -C "$work" --port "$port" -q dump --offset "$offset" --length "$size" \
    --output "back-$name"
  cmp "$work/$name" "$work/back-$name"
  total=$((total + size))
}
check demo_bin1.bin 0x000000
check demo_bin2.bin 0x800000
check demo_ogm1.ogm 0x700000
check demo_ogm2.ogm 0xC70000
end=$(date +%s.%N)

echo "demo: wrote $total bytes in four images with verify, dumped them back," \
  "identical to the images ($(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s on $port)"
