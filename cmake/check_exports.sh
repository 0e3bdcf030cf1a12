#!/usr/bin/env bash
# check_exports.sh <library> <extended regex of allowed demangled names>
# Fails when the library's dynamic symbol table defines anything the regex does not allow.
set -euo pipefail
lib=$1 allowed=$2
syms=$(nm -D --defined-only "$lib" | c++filt | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')
[ -n "$syms" ] || { echo "no exported symbols in $lib"; exit 1; }
bad=$(grep -vE "$allowed" <<<"$syms" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"
  echo "$bad"
  exit 1
fi
echo "$(wc -l <<<"$syms") exported symbols, all public API"
