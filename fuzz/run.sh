#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for the given number of seconds.
# Usage: fuzz/run.sh SECONDS [build-dir]
# New inputs found go to a scratch corpus in the build directory; the seeds in samples/fuzz stay
# as they are. A crash leaves its input in the build directory and makes the script fail.
set -euo pipefail
seconds="${1:?usage: fuzz/run.sh SECONDS [build-dir]}"
root="$(cd "$(dirname "$0")/.." && pwd)"
# Absolute: the targets change into a scratch directory of their own before reading the corpus.
build="$(realpath -m "${2:-$root/build-fuzz}")"

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR=ON >/dev/null
cmake --build "$build" -j2

# target name -> seed folder and dictionary
targets=(flash_description_fuzzer:flash config_restore_fuzzer:config protocol_fuzzer:protocol
  cli_result_fuzzer:cli)
for entry in "${targets[@]}"; do
  target="${entry%%:*}"
  seeds="${entry##*:}"
  corpus="$build/corpus/$seeds"
  mkdir -p "$corpus" "$build/artifacts"
  cp -n "$root/samples/fuzz/$seeds"/* "$corpus/" 2>/dev/null || true
  dict=()
  [ -f "$root/fuzz/$seeds.dict" ] && dict=("-dict=$root/fuzz/$seeds.dict")
  echo "== $target for ${seconds}s"
  "$build/$target" "$corpus" "${dict[@]}" -max_total_time="$seconds" -max_len=65536 \
    -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1
done
