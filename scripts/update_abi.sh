#!/usr/bin/env bash
# Refreshes abi/*.abi from the release build installed into ./stage (scripts/run_example.sh
# makes both). Run it when an addition to the interface is meant, and commit the dumps.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p abi
for lib in xcommon xmsg xjson; do
  abidw --headers-dir "stage/include/$lib" --no-corpus-path --out-file "abi/lib$lib.abi" \
    "stage/lib/lib$lib.so.1"
done
echo "ABI dumps refreshed"
