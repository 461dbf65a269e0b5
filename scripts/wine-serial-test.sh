#!/usr/bin/env bash
# Runs the Windows serial port's line test under Wine against the emulated handset: the emulator
# serves a pseudo-terminal, a link in the Wine prefix makes it COM7. Each test gets an emulator
# of its own.
# Wine (8.0) sets a rate outside its table (220338, 302325) as 38400 plus a custom divisor, which
# a pseudo-terminal cannot hold: the emulator takes 38400 for such a rate
# (--custom-rate-as-38400). See scripts/wine-kelvane-test.sh for what else Wine does.
# Usage: scripts/wine-serial-test.sh [linux-build-dir] [windows-build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
linux="$(realpath "${1:-build}")"
windows="$(realpath "${2:-build-windows}")"
cmake --build "$linux" --target handset-emulator >/dev/null
cmake --build "$windows" --target serial_line_test >/dev/null

export WINEPREFIX="$windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
wine=/usr/lib/wine/wine64
test="$windows/tests/serial_line_test.exe"

work="$(mktemp -d)"
emulator=""
stop_emulator() {
  if [ -n "$emulator" ]; then
    kill "$emulator" 2>/dev/null || true
    wait "$emulator" 2>/dev/null || true
  fi
  emulator=""
}
cleanup() {
  stop_emulator
  rm -f "$WINEPREFIX/dosdevices/com7"
  rm -rf "$work"
}
trap cleanup EXIT
cp "$root/samples/flash.txt" "$work/"

status=0
for name in $("$wine" "$test" --gtest_list_tests | tr -d '\r' |
              awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}'); do
  rm -f "$work/device"
  (cd "$work" && exec "$linux/emulator/handset-emulator" --flash-description flash.txt \
     --custom-rate-as-38400 >"$work/device") &
  emulator=$!
  for _ in $(seq 100); do [ -s "$work/device" ] && break; sleep 0.1; done
  device="$(head -n1 "$work/device")"
  [ -n "$device" ] || { echo "wine-serial-test: the emulator did not start" >&2; exit 1; }
  ln -sfn "$device" "$WINEPREFIX/dosdevices/com7"
  (cd "$windows/tests" && KELVANE_TEST_LINE=COM7 "$wine" "$test" --gtest_filter="$name") ||
    status=1
  stop_emulator
done
exit $status
