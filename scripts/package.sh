#!/usr/bin/env bash
# package.sh OUTDIR: builds release binaries for /usr and writes the Debian packages
# libxcommon1 libxcommon-dev libxmsg1 libxmsg-dev libxjson1 libxjson-dev xtool into OUTDIR.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."

build=build/package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DXLIBS_BUILD_TESTS=OFF -DXLIBS_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$out"/*.deb
(cd "$build" && cpack -G DEB -B "$out/.cpack" >/dev/null)
mv "$out"/.cpack/*.deb "$out"/
rm -rf "$out/.cpack"
for deb in "$out"/*.deb; do
  echo "$(dpkg-deb -f "$deb" Package): $(dpkg-deb -f "$deb" Depends)"
done
