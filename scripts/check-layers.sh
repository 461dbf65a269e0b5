#!/usr/bin/env bash
# Fails on an #include that runs up a layer (docs/architecture.md): each folder below may include
# only itself and the folders listed after it. Tests, benchmarks and fuzz targets may include any.
# Also fails on a Qt header below the front ends, outside the platform's Qt files: the station's
# engine is Qt-free, as the command line's headless station links it.
# Usage: scripts/check-layers.sh [source-root]
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

# folder: the folders its files may include (its own first)
allowed() {
  case "$1" in
    platform/*) echo "platform" ;;
    dwl/*) echo "dwl platform" ;;
    emulator/*) echo "emulator dwl platform" ;;
    engines/*) echo "engines dwl platform" ;;
    ops/*) echo "ops engines dwl platform" ;;
    station/*) echo "station ops engines dwl platform" ;;
    apps/guikit/*) echo "apps/guikit dwl platform" ;;
    apps/*)
      local app="${1#apps/}"
      echo "apps/${app%%/*} apps/guikit station ops engines dwl platform"
      ;;
    *) echo "*" ;;
  esac
}

status=0
while IFS= read -r file; do
  allow="$(allowed "$file")"
  [ "$allow" = "*" ] && continue
  while IFS=: read -r line target; do
    ok=0
    for layer in $allow; do
      case "$target" in "$layer"/*) ok=1 ;; esac
    done
    # Generated headers of the windows' forms, and headers of the same folder named bare.
    case "$target" in ui_*.h | */* ) ;; *) ok=1 ;; esac
    case "$target" in ui_*.h) case "$file" in apps/*) ok=1 ;; esac ;; esac
    if [ "$ok" = 0 ]; then
      echo "$file:$line: includes \"$target\", which runs up a layer (may use: $allow)" >&2
      status=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed -E 's/^([0-9]+):[^"]*"([^"]*)".*/\1:\2/')
  case "$file" in
    apps/* | platform/qt_*) ;;
    *)
      if grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$file" >/dev/null; then
        echo "$file: includes a Qt header below the front ends" >&2
        status=1
      fi
      ;;
  esac
done < <(find platform dwl emulator engines ops station apps -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort)
[ "$status" = 0 ] && echo "layers: no include runs up"
exit "$status"
