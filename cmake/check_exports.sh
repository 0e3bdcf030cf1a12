#!/usr/bin/env bash
# check_exports.sh <library> <extended regex of allowed demangled names> [<version node>]
# Fails when the library's dynamic symbol table defines anything the regex does not allow, or,
# given a version node, a symbol that does not carry it.
set -euo pipefail
lib=$1 allowed=$2 node=${3:-}
raw=$(nm -D --defined-only "$lib" | awk '$2 != "A" { print $3 }')
[ -n "$raw" ] || { echo "no exported symbols in $lib"; exit 1; }
if [ -n "$node" ]; then
  unversioned=$(grep -v "@@$node\$" <<<"$raw" || true)
  [ -z "$unversioned" ] || { echo "symbols without the version node $node:"; echo "$unversioned"; exit 1; }
fi
syms=$(sed 's/@.*$//' <<<"$raw" | c++filt)
# A type of fmt in an exported signature would tie callers to one fmt release.
fmt=$(grep -E 'fmt::v[0-9]+::' <<<"$syms" || true)
[ -z "$fmt" ] || { echo "exports that name fmt's types:"; echo "$fmt"; exit 1; }
bad=$(grep -vE "$allowed" <<<"$syms" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"
  echo "$bad"
  exit 1
fi
echo "$(wc -l <<<"$syms") exported symbols, all public API"
