#!/usr/bin/env bash
# Installs the Debian packages a fresh machine lacks, in two sets:
#   scripts/install-deps.sh           what building the programs and tests needs (the demo)
#   scripts/install-deps.sh --tests   that, and what only runs around the tests and CI: the
#                                     window-manager flows and screens, the Windows cross-build
#                                     under Wine, Clang's sanitizers and fuzzers, PostgreSQL
# Used by the README's two commands and by CI, so a fresh machine and CI never drift apart.
set -euo pipefail
build=(
  cmake g++ make ninja-build pkg-config dpkg-dev file libpq-dev
  qt6-base-dev
  libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev
)
tests=(
  clang libclang-rt-14-dev clang-format
  xvfb xdotool xauth fonts-dejavu-core openbox imagemagick
  g++-mingw-w64-x86-64 googletest wine64
  postgresql
)
packages=("${build[@]}")
case "${1:-}" in
  "") ;;
  --tests) packages+=("${tests[@]}") ;;
  *) echo "usage: $0 [--tests]" >&2; exit 2 ;;
esac
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
