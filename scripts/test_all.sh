#!/usr/bin/env bash
# Every test: the suite in release (g++ and clang++) and under AddressSanitizer +
# UndefinedBehaviorSanitizer, and the concurrent tests under ThreadSanitizer. Ends with ctest's
# summary of the asan run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install_deps.sh

# XJSON_REQUIRE_DATA=ON (CI sets it): the JSON corpus tests fail instead of skipping without
# ../shared/data/json.
for preset in release clang tsan asan; do
  echo "=== $preset"
  cmake --preset "$preset" -DXJSON_REQUIRE_DATA="${XJSON_REQUIRE_DATA:-OFF}" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
ctest --preset release
ctest --preset clang
ctest --preset tsan
ctest --preset asan
