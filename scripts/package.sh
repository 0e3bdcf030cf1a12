#!/usr/bin/env bash
# package.sh OUTDIR: builds the Debian packages libxcommon1 libxcommon-dev libxmsg1 libxmsg-dev
# libxjson1 libxjson-dev xtool xlibs-doc (and the -dbgsym packages of those with binaries) from debian/
# with dpkg-buildpackage, and moves them with their .changes and .buildinfo into OUTDIR. The
# build runs in a copy of the work tree (tracked files and untracked ones git does not ignore,
# uncommitted edits included), so the tree itself gets no build products. Two jobs unless
# DEB_BUILD_OPTIONS names parallel=N; the log is OUTDIR/build.log.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."

# The packages carry the project's version.
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb_version=$(dpkg-parsechangelog -S Version)
[ "${deb_version%%-*}" = "$version" ] ||
  { echo "debian/changelog is at $deb_version, CMakeLists.txt at $version" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=$work/xlibs-$version
mkdir "$src"
git ls-files -z --cached --others --exclude-standard --deduplicate |
  while IFS= read -r -d '' f; do
    if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi  # not deleted in the work tree
  done | tar -c --null -T - | tar -x -C "$src"

case " ${DEB_BUILD_OPTIONS:-} " in
  *" parallel="*) ;;
  *) export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=2" ;;
esac
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
if ! (cd "$src" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "dpkg-buildpackage failed: $out/build.log" >&2
  exit 1
fi
shopt -s nullglob
mv "$work"/*.deb "$work"/*.ddeb "$work"/*.changes "$work"/*.buildinfo "$out"/
for deb in "$out"/*.deb; do
  echo "$(dpkg-deb -f "$deb" Package): $(dpkg-deb -f "$deb" Depends)"
done
