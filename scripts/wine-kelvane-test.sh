#!/usr/bin/env bash
# kelvane.exe end to end under Wine against handset-emulator processes: each emulator serves a
# pseudo-terminal that a link in the Wine prefix makes COM7 or COM8. Checks results, files and
# exit codes as the Linux tests do (tests/cli_pty_test.cpp, tests/cli_emulator_test.cpp), prints
# one PASS or FAIL line per check and the time of each step, and exits non-zero on any failure.
#
# What Wine (8.0) does with a serial port on a pseudo-terminal, and how the test deals with it:
# - A rate of its table (38400, 115200, 230400, 460800) reaches the pseudo-terminal as it is.
# - Any other rate (203125, 220338, ... 302325) is set the old Linux way, as 38400 plus a custom
#   divisor (TIOCSSERIAL, ASYNC_SPD_CUST); a pseudo-terminal has no divisor and stays at 38400.
#   The emulator runs with --custom-rate-as-38400, so 38400 on the device stands for such a rate
#   (and for no standard one); it paces the line at the rate the protocol agreed.
# - GetCommState refuses a port whose termios rate is not one of its constants (BOTHER): the
#   emulator puts the device back to 38400 by its constant after each session.
# - A signal SIGINT to the Wine process arrives as the console's Ctrl-C event (CTRL_C_EVENT).
#   Ctrl-Break and the console's close cannot be sent this way; they are not tested here.
# - Wine's SERIALCOMM registry key lists only the ports of the prefix's first start, so
#   `kelvane ports` is not checked against the linked ports.
# Usage: scripts/wine-kelvane-test.sh [linux-build-dir] [windows-build-dir]
#   (the Linux build provides handset-emulator and make-demo-image, the Windows one kelvane.exe
#   and, when packaged, the ZIP)
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
linux="$(realpath "${1:-build}")"
windows="$(realpath "${2:-build-windows}")"
emulator="$linux/emulator/handset-emulator"
make_image="$linux/emulator/make-demo-image"
kelvane="$windows/apps/cli/kelvane.exe"
for program in "$emulator" "$make_image" "$kelvane"; do
  [ -f "$program" ] || { echo "wine-kelvane-test: $program is not built" >&2; exit 2; }
done

export WINEPREFIX="$windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -d "$WINEPREFIX" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
# The folder Windows programs know as %LOCALAPPDATA%, as Wine maps it.
local_app_data="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local"

work="$(mktemp -d)"
declare -A emulator_pid=()
failures=0
started=$(date +%s.%N)

stop_emulator() {
  local port=$1 pid=${emulator_pid[$1]:-}
  [ -n "$pid" ] || return 0
  # SIGTERM: the emulator saves its flash image on the way out.
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  unset "emulator_pid[$port]"
  rm -f "$WINEPREFIX/dosdevices/${port,,}"
}
cleanup() {
  for port in "${!emulator_pid[@]}"; do stop_emulator "$port"; done
  "$wineserver" -k 2>/dev/null
  rm -rf "$work" "$local_app_data/kelvane"
}
trap cleanup EXIT
# One Wine server for the whole run, its own output kept apart from the programs': started by
# the first program, it would write into that program's standard error. A server still running
# (the tests before) is waited for first.
"$wineserver" -w 2>/dev/null
"$wineserver" -p 2>"$work/wineserver.err"
[ -n "${KEEP_WORK:-}" ] && trap - EXIT

pass() { echo "PASS  $1"; }
fail() {
  echo "FAIL  $1"
  failures=$((failures + 1))
}
# check WHAT COMMAND...: PASS when the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# Seconds since a date +%s.%N stamp, to a tenth.
since() { awk -v t0="$1" -v t1="$(date +%s.%N)" 'BEGIN { printf "%.2f", t1 - t0 }'; }

step_name=""
step_t0=0
step() {
  step_end
  step_name=$1
  step_t0=$(date +%s.%N)
  echo "--- $step_name"
}
step_end() {
  [ -n "$step_name" ] && printf 'time  %-48s %6s s\n' "$step_name" "$(since "$step_t0")"
  step_name=""
}

# start_emulator PORT [options...]: an emulator serving PORT (COM7, COM8) from the work folder.
start_emulator() {
  local port=$1
  shift
  stop_emulator "$port"
  rm -f "$work/$port.device"
  (cd "$work" && exec "$emulator" --flash-description flash.txt --pace --custom-rate-as-38400 "$@" \
     >"$work/$port.device" 2>>"$work/emulator.err") &
  emulator_pid[$port]=$!
  local device=""
  for _ in $(seq 200); do
    device="$(head -n1 "$work/$port.device" 2>/dev/null)"
    [ -n "$device" ] && break
    sleep 0.05
  done
  if [ -z "$device" ]; then
    fail "the emulator for $port started"
    return 1
  fi
  ln -sfn "$device" "$WINEPREFIX/dosdevices/${port,,}"
}

# kelvane NAME ARGS...: runs kelvane.exe in the work folder, at most 120 s; standard output in
# NAME.out, standard error in NAME.err, the exit status in $status.
status=0
kelvane() {
  local name=$1
  shift
  (cd "$work" && timeout -s KILL 120 "$wine" "$kelvane" "$@" >"$name.out" 2>"$name.err")
  status=$?
}
# json FILE EXPRESSION: the Python expression over the parsed JSON j, printed.
json() {
  python3 -c 'import json, sys; j = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' \
    "$work/$1" "$2" 2>/dev/null
}
is() { [ "$1" = "$2" ] || { echo "      got '$1', expected '$2'"; return 1; }; }
contains() { grep -qF -- "$2" "$work/$1" || { echo "      $1 lacks '$2'"; return 1; }; }
# same_bytes A B COUNT [SKIP_B]: the first COUNT bytes of A equal COUNT bytes of B from SKIP_B.
same_bytes() {
  cmp -s -n "$3" "$work/$1" <(tail -c +"$((${4:-0} + 1))" "$work/$2") ||
    { echo "      $1 and $2 differ"; return 1; }
}
all_erased() {
  [ -s "$work/$1" ] && [ "$(tr -d '\377' <"$work/$1" | wc -c)" -eq 0 ] ||
    { echo "      $1 is missing or not all 0xFF"; return 1; }
}
# The failure's message: the first line of standard error that is not a sector's progress.
message() { tr -d '\r' <"$work/$1" | grep -v -m1 '^sector '; }

cp "$root/samples/flash.txt" "$root/samples/dwl87.spm" "$work/"
# Four small images (whole runs at 38400 baud stay short): bin1 spans two sectors.
"$make_image" 12000 7 "$work/bin1.bin" >/dev/null
"$make_image" 5000 8 "$work/bin2.bin" >/dev/null
"$make_image" 2000 9 "$work/ogm1.ogm" >/dev/null
"$make_image" 1000 10 "$work/ogm2.ogm" >/dev/null
"$make_image" 200000 11 "$work/long.bin" >/dev/null
images=(--bin1 bin1.bin --bin2 bin2.bin --ogm1 ogm1.ogm --ogm2 ogm2.ogm)

step "version and help"
kelvane version --version
check "--version exits 0" is "$status" 0
check "--version names the program" contains version.out "kelvane 1."
kelvane help --help
check "--help exits 0" is "$status" 0
check "--help shows the usage" contains help.out "Usage: kelvane"

step "info on COM7"
start_emulator COM7 --flash-image a.flash
kelvane info --port COM7 --json info
check "info exits 0" is "$status" 0
check "info identifies the flash" is "$(json info.out 'j["flash"]["name"]')" "AMD AM29PDL128G"
kelvane info2 --port COM7 info
check "info again on the reopened port exits 0" is "$status" 0
check "info again names the processor" contains info2.out "Processor 0xBE (PCF5087)"

for speed in 0 3 8; do
  step "write four images with --verify at speed $speed"
  kelvane "write$speed" --port COM7 --json --log jobs.jsonl --speed "$speed" write "${images[@]}" \
    --verify
  check "write at speed $speed exits 0" is "$status" 0
  check "write at speed $speed succeeds" is "$(json "write$speed.out" 'j["family"]')" 0
  check "write at speed $speed is verified" is "$(json "write$speed.out" 'j["verified"]')" True
  check "write at speed $speed wrote every byte" \
    is "$(json "write$speed.out" 'j["bytes_written"]')" 20000
done
step "the job log"
check "the log holds the three writes, all succeeded" is "$(python3 -c '
import json, sys
print([json.loads(l)["result"]["family"] for l in open(sys.argv[1])])' "$work/jobs.jsonl")" \
  "[0, 0, 0]"

step "dump by sectors and by offset"
# bin1 at offset 0 (sectors 0 and 1, 16 KiB), bin2 at 0x800000.
kelvane dump1 --port COM7 -q dump --first 0 --last 1 --output sectors.bin
check "dump by sectors exits 0" is "$status" 0
check "dump by sectors holds two sectors" is "$(stat -c %s "$work/sectors.bin")" 16384
check "dump by sectors gives bin1 back" same_bytes bin1.bin sectors.bin 12000
tail -c +12001 "$work/sectors.bin" >"$work/past.bin"
check "past bin1 the flash is erased" all_erased past.bin
kelvane dump2 --port COM7 -q dump --offset 0x800000 --length 5000 --output offset.bin
check "dump by offset exits 0" is "$status" 0
check "dump by offset gives bin2 back" same_bytes bin2.bin offset.bin 5000
check "dump by offset has its length" is "$(stat -c %s "$work/offset.bin")" 5000

step "erase"
kelvane erase --port COM7 --json erase --first 0 --last 1
check "erase exits 0" is "$status" 0
check "erase names its sectors" is "$(json erase.out 'j["sectors"]')" "[0, 1]"
kelvane dump3 --port COM7 -q dump --first 0 --last 1 --output erased.bin
check "the erased sectors read back as 0xFF" all_erased erased.bin
stop_emulator COM7
head -c 16384 "$work/a.flash" >"$work/a-head.bin"
check "the emulator's saved flash has the sectors erased" all_erased a-head.bin

step "two handsets at once (COM7, COM8)"
start_emulator COM7 --flash-image c7.flash
start_emulator COM8 --flash-image c8.flash
kelvane two --port COM7 --port COM8 --json write --bin1 bin1.bin --verify
check "two ports exit 0" is "$status" 0
check "two ports give one result each, both succeeded" \
  is "$(json two.out '[(p["port"], p["family"], p["verified"]) for p in j]')" \
  "[('COM7', 0, True), ('COM8', 0, True)]"
stop_emulator COM7
stop_emulator COM8
check "COM7's flash holds bin1" same_bytes bin1.bin c7.flash 12000
check "COM8's flash holds bin1" same_bytes bin1.bin c8.flash 12000

step "a handset that goes silent in a write"
start_emulator COM7 --fault silence:sector-write
kelvane silent --port COM7 -q write --bin1 bin1.bin
check "a silent handset exits 13" is "$status" 13
check "a silent handset's message" is "$(message silent.err)" "Timeout during the download"

step "Ctrl-C in a write"
start_emulator COM7
rm -f "$work/cancel.jsonl"
(cd "$work" && exec timeout -s KILL 120 "$wine" "$kelvane" --port COM7 --json --log cancel.jsonl \
   --speed 1 write --bin1 long.bin >cancel.out 2>cancel.err) &
job=$!
for _ in $(seq 600); do
  grep -q "image 1/1" "$work/cancel.err" 2>/dev/null && break
  kill -0 "$job" 2>/dev/null || break
  sleep 0.05
done
signalled=$(date +%s.%N)
# timeout passes the signal on to Wine, which delivers it as the console's Ctrl-C.
kill -INT "$job" 2>/dev/null
wait "$job"
status=$?
stopped_in=$(since "$signalled")
check "Ctrl-C exits 130" is "$status" 130
check "Ctrl-C stops the job within 8 s (took $stopped_in s)" \
  awk -v s="$stopped_in" 'BEGIN { exit !(s < 8) }'
check "Ctrl-C gives the cancel in the JSON" is "$(json cancel.out 'j["family"], j["message"]')" \
  "(14, 'Cancelled by the user')"
check "Ctrl-C says it stops" contains cancel.err "kelvane: stopping"
check "the cancelled job is in the log" is "$(python3 -c '
import json, sys
print([json.loads(l)["result"]["family"] for l in open(sys.argv[1])])' "$work/cancel.jsonl")" \
  "[14]"
kelvane after --port COM7 -q info
check "the port was closed: the next program opens it" is "$status" 0
stop_emulator COM7

step "the ZIP: files from %LOCALAPPDATA%\\kelvane and share\\kelvane"
zip=$(ls "$windows"/kelvane-*.zip 2>/dev/null | head -n1)
if [ -z "$zip" ]; then
  fail "the ZIP is built (cmake --build $windows --target package)"
else
  mkdir -p "$work/unpacked" "$work/empty" "$local_app_data/kelvane"
  cmake -E chdir "$work/unpacked" cmake -E tar xf "$zip"
  unpacked_kelvane=$(find "$work/unpacked" -name kelvane.exe | head -n1)
  # No flash.txt nor dwl87.spm in the working directory: dwl87.spm from %LOCALAPPDATA%\kelvane,
  # flash.txt from the ZIP's share\kelvane.
  cp "$root/samples/dwl87.spm" "$local_app_data/kelvane/"
  start_emulator COM7
  (cd "$work/empty" &&
     timeout -s KILL 120 "$wine" "$unpacked_kelvane" --port COM7 info >"$work/zip.out" 2>"$work/zip.err")
  status=$?
  check "the unpacked kelvane.exe finds its files and identifies the flash" is "$status" 0
  check "the unpacked kelvane.exe names the flash" contains zip.out "AMD AM29PDL128G"
  rm -f "$local_app_data/kelvane/dwl87.spm"
  (cd "$work/empty" &&
     timeout -s KILL 120 "$wine" "$unpacked_kelvane" --port COM7 info >"$work/nospm.out" 2>"$work/nospm.err")
  status=$?
  check "without dwl87.spm in %LOCALAPPDATA%\\kelvane kelvane.exe exits 5" is "$status" 5
  check "without dwl87.spm the message names the file" contains nospm.err "dwl87.spm"
  check "without dwl87.spm the message is the file one" contains nospm.err "LIB_PC : File not found"
  stop_emulator COM7
fi
step_end
# A PC at another rate than the handset's loses bytes; the emulators note it.
check "no emulator saw the PC at another rate than the handset's" \
  test "$(grep -c "the PC runs at" "$work/emulator.err")" -eq 0

printf 'time  %-48s %6s s\n' "all" "$(since "$started")"
if [ "$failures" -gt 0 ]; then
  echo "wine-kelvane-test: $failures check(s) FAILED" >&2
  [ -s "$work/emulator.err" ] && { echo "emulators' standard error:"; cat "$work/emulator.err"; } >&2
  exit 1
fi
echo "wine-kelvane-test: every check passed"
