#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer + UndefinedBehaviorSanitizer
# and runs each from its seed corpus for the time its x_add_fuzzer() line gives (FUZZ_SECONDS
# overrides every time).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DXLIBS_FUZZ=ON -DXLIBS_BUILD_TESTS=OFF -DXLIBS_WITH_MSG=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

run() {  # run <binary> <seconds> <seed corpus dir>
  local bin=$1 secs=${FUZZ_SECONDS:-$2} seeds=$3
  local work="$build/corpus/$(basename "$bin")"
  mkdir -p "$work"
  echo "=== fuzz $(basename "$bin") for ${secs}s"
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$bin" -max_total_time="$secs" \
      "$work" "$seeds" >"$work.log" 2>&1; then
    tail -n 60 "$work.log"
    exit 1
  fi
  tail -n 1 "$work.log"
}

# One line per target, written by the build: binary, seconds, seed corpus.
while read -r bin secs seeds; do
  [ -n "$bin" ] && run "$bin" "$secs" "$seeds"
done <"$build/fuzz_targets.txt"
echo "fuzzing: OK"
