#!/usr/bin/env bash
# Runs what the sanitizers cannot see into (code inside Debian's uninstrumented cJSON) under
# valgrind: the JSON tests and the replay of the handle fuzzer's corpus, from the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target xjson_tests handles_replay
vg=(valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite)
"${vg[@]}" "$build/src/libs/json/tests/xjson_tests" --gtest_brief=1
corpora=(src/libs/json/fuzz/corpus_handles)
[ -d build/fuzz/corpus/handles_fuzz ] && corpora+=(build/fuzz/corpus/handles_fuzz)
"${vg[@]}" "$build/src/libs/json/tests/handles_replay" "${corpora[@]}"
echo "valgrind: OK"
