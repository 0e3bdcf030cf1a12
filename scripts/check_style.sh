#!/usr/bin/env bash
# Checks the formatting of every C++ file (clang-format, no rewrite) and runs clang-tidy on the
# sources of the libraries and xtool. `--fix-format` rewrites the files instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix-format" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
echo "formatting: OK"

build=build/tidy
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DXLIBS_BUILD_TESTS=OFF >/dev/null
# Generated headers (the export headers, the umbrellas) must exist before tidy reads sources.
cmake --build "$build" --target xcommon xmsg xjson -j "$(nproc)" >/dev/null
# clang 14 does not know g++'s -mtls-dialect=gnu2; it changes no source meaning.
sed -i 's/ -mtls-dialect=gnu2//g' "$build/compile_commands.json"
mapfile -t sources < <(git ls-files 'src/libs/common/*.cpp' 'src/libs/json/*.cpp' 'src/tools/*.cpp' |
  grep -vE '/(tests|bench|fuzz)/')
run-clang-tidy -p "$build" -quiet "${sources[@]}" >"$build/tidy.log" 2>&1 || {
  grep -E 'warning:|error:' "$build/tidy.log" | grep -v 'warnings generated' || tail -n 40 "$build/tidy.log"
  exit 1
}
echo "clang-tidy: OK"
