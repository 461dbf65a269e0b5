#!/usr/bin/env bash
# The layer check passes on the tree and fails on each planted include that runs up.
# Usage: tests/check_layers_test.sh <source-root>
set -uo pipefail
root="$(realpath "$1")"
check="$root/scripts/check-layers.sh"
fail=0
"$check" "$root" >/dev/null || { echo "FAIL: the tree itself"; fail=1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# file | included line | expected: pass or fail
while IFS='|' read -r file include expect; do
  rm -rf "${work:?}"/*
  mkdir -p "$work/$(dirname "$file")"
  printf '%s\n' "$include" >"$work/$file"
  if "$check" "$work" >/dev/null 2>"$work.err"; then got=pass; else got=fail; fi
  if [ "$got" != "$expect" ]; then
    echo "FAIL: $file with $include: $got, expected $expect"
    fail=1
  elif [ "$got" = fail ] && ! grep -q "^$file" "$work.err"; then
    echo "FAIL: $file with $include: the message does not name the file"
    fail=1
  fi
done <<'ROWS'
dwl/a.cpp|#include "platform/rs232.h"|pass
dwl/a.cpp|#include "ops/operations.h"|fail
platform/a.h|#include "dwl/dwl_job.h"|fail
engines/dumper/a.cpp|#include "engines/downloader/dwl3spm87.h"|pass
engines/dumper/a.cpp|#include "apps/dumper/dumper_app.h"|fail
engines/dumper/a.cpp|#include <QWidget>|fail
ops/a.cpp|#include "station/station.h"|fail
station/a.cpp|#include "apps/cli/options.h"|fail
station/a.cpp|#include <QSettings>|fail
emulator/a.cpp|#include "engines/dumper/dumper.h"|fail
apps/dumper/a.cpp|#include "apps/guikit/userint.h"|pass
apps/dumper/a.cpp|#include "apps/downloader/panels.h"|fail
apps/guikit/a.cpp|#include "ops/operations.h"|fail
apps/cli/a.cpp|#  include   "station/station.h"|pass
ROWS
rm -f "$work.err"
[ "$fail" = 0 ] && echo "check_layers_test: all rows as expected"
exit "$fail"
