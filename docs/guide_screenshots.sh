#!/usr/bin/env bash
# The guide's screenshot of a flash added to flash.txt: a user's flash.txt (the sample plus an ST
# flash) in a fresh ~/.config/kelvane, an emulated handset reporting that flash, and the
# downloader's service panel after Switch On. Runs itself again under scripts/with-wm.sh.
# Usage: docs/guide_screenshots.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
if [ -z "${KELVANE_GUIDE_SHOTS:-}" ]; then
  KELVANE_GUIDE_SHOTS=1 exec "$root/scripts/with-wm.sh" "$0" "$build"
fi

work="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
export HOME="$work/home"
unset XDG_CONFIG_HOME XDG_DATA_HOME
mkdir -p "$HOME/.config/kelvane" "$work/bench"
cd "$work/bench"

# The description as section 3 of the guide has it, with CR LF line endings.
description='NEW_FLASH
MANUFACTURER_NAME : ST
DEVICE_NAME : M58WR128FT
PHILIPS_PRODUCT : PCF5087
MANUFACTURER_ID : 32
DEVICE_ID : 90
NB_BANKS : 2
NB_SECTORS : 263
START_SECTOR_DESCRITPION
0-127*65536*0
128-254*65536*1
255-262*8192*1
END_SECTOR_DESCRIPTION
END_FLASH'
{ cat "$root/samples/flash.txt"; printf '\n%s\n' "$description"; } | sed 's/\r*$/\r/' \
  > "$HOME/.config/kelvane/flash.txt"
cp "$root/samples/dwl87.spm" "$HOME/.config/kelvane/"

"$build/emulator/handset-emulator" --pace --flash-description "$HOME/.config/kelvane/flash.txt" \
  --flash-id 0x20:0x5A > emu.txt &
pids+=($!)
for _ in $(seq 50); do [ -s emu.txt ] && break; sleep 0.1; done
export KELVANE_COM4="$(head -1 emu.txt)"

"$build/apps/downloader/kelvane-downloader" &
pids+=($!)
main=$(xdotool search --sync --name '^Kelvane Downloader$' | head -1)
xdotool windowactivate --sync "$main"
xdotool key alt+s Return
panel=$(xdotool search --sync --name 'Service panel' | head -1)
xdotool windowactivate --sync "$panel"
xdotool key space  # Switch On, the panel's first button
# The identified flash's title appears once the boot and the speed change are done.
sleep 6
import -frame -window "$panel" "$root/docs/service-new-flash.png"
ls -l "$root/docs/service-new-flash.png"
