#!/usr/bin/env bash
# Compares the libraries with the dumps in abi/, twice: as installed into ./stage by the release
# build (scripts/run_example.sh), and as a distribution builds them (its optimiser and
# hardening flags), since what a library exports must not depend on how it was compiled. Added
# symbols pass; a change that breaks the ABI fails unless the SONAME changed with it.
set -euo pipefail
cd "$(dirname "$0")/.."

for lib in xcommon xmsg xjson; do
  if [ ! -f "stage/lib/lib$lib.so.1" ] || [ ! -d "stage/include/$lib" ]; then
    echo "check_abi: ./stage has no lib$lib; run scripts/run_example.sh first (it builds and installs" \
      "the release preset there)" >&2
    exit 1
  fi
done

distro=build/abi-distro
cmake -S . -B "$distro" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -fstack-protector-strong -D_FORTIFY_SOURCE=2" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g -fstack-protector-strong -D_FORTIFY_SOURCE=2" \
  -DXLIBS_BUILD_TESTS=OFF -DXLIBS_BUILD_TOOLS=OFF -DXLIBS_WERROR=ON >/dev/null
cmake --build "$distro" --target xcommon xmsg xjson -j "$(nproc)" >/dev/null
rm -rf "$distro/stage"
for lib in xcommon xmsg xjson; do
  cmake --install "$distro" --prefix "$distro/stage" --component "lib${lib}1" >/dev/null
  cmake --install "$distro" --prefix "$distro/stage" --component "lib${lib}-dev" >/dev/null
done

status=0
for stage in stage "$distro/stage"; do
  echo "=== $stage"
  for lib in xcommon xmsg xjson; do
    so=$stage/lib/lib$lib.so.1
    base=abi/lib$lib.abi
    set +e
    report=$(abidiff --headers-dir2 "$stage/include/$lib" "$base" "$so" 2>&1)
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
done
exit $status
