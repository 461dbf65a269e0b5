#!/usr/bin/env bash
# The Windows build: cross-builds kelvane.exe and the tests of the layers without Qt for 64-bit
# Windows with the toolchain file alone, checks that kelvane.exe needs no DLL but the system's,
# makes the ZIP, runs the tests under Wine, then kelvane.exe end to end under Wine against the
# emulated handset (scripts/wine-kelvane-test.sh; the emulator comes from the Linux build).
# Usage: scripts/windows-tests.sh [windows-build-dir] [linux-build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
build="${1:-build-windows}"
linux="${2:-build}"
# KELVANE_ENGINE_ONLY=OFF only overrides a build folder made when this job built the engines alone.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DKELVANE_WERROR=ON -DKELVANE_ENGINE_ONLY=OFF >/dev/null
cmake --build "$build" -j2

# Only the system's DLLs: the C++ run-time, libgcc and winpthread are linked in.
dlls=$(x86_64-w64-mingw32-objdump -p "$build/apps/cli/kelvane.exe" | awk '/DLL Name:/ {print $3}')
echo "kelvane.exe imports:" $dlls
for dll in $dlls; do
  case "${dll,,}" in
    kernel32.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*) ;;
    *) echo "windows-tests: kelvane.exe needs $dll, not a system DLL" >&2; exit 1 ;;
  esac
done

cmake --build "$build" --target package >/dev/null
zip=$(ls "$build"/kelvane-*-windows-*.zip)
echo "$zip:"
cmake -E tar tf "$zip" | sed 's/^/  /'

# A Wine prefix of our own, made once per build directory; no window, no Mono or Gecko prompts.
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
(cd "$build" && ctest --output-on-failure -j2 --timeout 900)

# The emulator and the image maker from the Linux build (the test job's configuration, so CI
# builds nothing twice).
bash scripts/configure.sh "$linux" -DKELVANE_WERROR=ON
cmake --build "$linux" -j2 --target handset-emulator make-demo-image
bash scripts/wine-kelvane-test.sh "$linux" "$build"
