#!/usr/bin/env bash
# soak.sh [SECONDS]: builds the release preset's soak program and runs a pre-fork worker host
# for SECONDS (default 60). Its last line is the summary; it exits 0 when nothing was lost,
# torn or hung.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset release >/dev/null
cmake --build --preset release --target soak -j "$(nproc)" >/dev/null
exec build/release/tests/soak/soak --seconds "$seconds"
