#!/usr/bin/env bash
# Runs a command on a private X server (Xvfb) with a window manager (openbox), as a technician's
# desktop would be: windows are mapped, decorated and exposed, so an unpainted window shows.
# Picks a free display number, and stops both servers when the command ends.
# Usage: scripts/with-wm.sh [--size WxH] command [args...]
set -euo pipefail
size=1366x768
if [ "${1:-}" = "--size" ]; then
  size="$2"
  shift 2
fi
for tool in Xvfb openbox; do
  command -v "$tool" >/dev/null || { echo "with-wm.sh: $tool is missing (scripts/install-deps.sh --tests)" >&2; exit 77; }
done

display=""
for n in $(seq 91 190); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
    display=":$n"
    break
  fi
done
[ -n "$display" ] || { echo "with-wm.sh: no free display number" >&2; exit 1; }

Xvfb "$display" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
wm=""
cleanup() {
  [ -n "$wm" ] && kill "$wm" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

# The server is up once its socket is there.
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.05
done
kill -0 "$xvfb" 2>/dev/null || { echo "with-wm.sh: Xvfb did not start on $display" >&2; exit 1; }
export DISPLAY="$display"
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
sleep 0.5
export QT_QPA_PLATFORM=xcb
"$@"
