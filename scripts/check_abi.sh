#!/usr/bin/env bash
# Compares the libraries installed into ./stage with the dumps in abi/. Added symbols pass; a
# change that breaks the ABI fails unless the SONAME changed with it.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for lib in xcommon xmsg xjson; do
  so=stage/lib/lib$lib.so.1
  [ -e "$so" ] || so=$(ls stage/lib/lib$lib.so.* | head -n 1)
  base=abi/lib$lib.abi
  set +e
  report=$(abidiff --headers-dir2 "stage/include/$lib" "$base" "$so" 2>&1)
  rc=$?
  set -e
  if (( rc & 1 || rc & 2 )); then
    echo "abidiff failed on lib$lib:"; echo "$report"; status=1
  elif (( rc & 8 )); then
    old=$(grep -o "soname='[^']*'" "$base" | head -n 1 | cut -d"'" -f2)
    new=$(readelf -d "$so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    if [ "$old" = "$new" ]; then
      echo "lib$lib: incompatible ABI change under the same SONAME $new:"; echo "$report"; status=1
    else
      echo "lib$lib: incompatible change with a new SONAME ($old -> $new)"
    fi
  elif (( rc & 4 )); then
    echo "lib$lib: compatible changes (additions):"; echo "$report" | head -n 20
  else
    echo "lib$lib: ABI unchanged"
  fi
done
exit $status
