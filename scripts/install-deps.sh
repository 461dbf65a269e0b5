#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the tools needs.
# Used by the README and by CI, so a fresh machine and CI never drift apart.
set -euo pipefail
packages=(
  cmake g++ make ninja-build pkg-config clang libclang-rt-14-dev clang-format dpkg-dev file
  qt6-base-dev qt6-serialport-dev
  libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev
  xvfb xdotool xauth fonts-dejavu-core
  g++-mingw-w64-x86-64 googletest wine64
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
