#!/usr/bin/env bash
# Builds the eight Debian packages and their -dbgsym packages, checks them with lintian (no
# error, no warning), unpacks them into a temporary root with dpkg-deb -x, and builds and runs
# the example consumer against that root through the CMake packages and through pkg-config;
# the unpacked xtool runs too.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

scripts/package.sh "$work/debs"
expected="libxcommon-dev libxcommon1 libxcommon1-dbgsym libxjson-dev libxjson1 libxjson1-dbgsym"
expected+=" libxmsg-dev libxmsg1 libxmsg1-dbgsym xlibs-doc xtool xtool-dbgsym"
got=$(for d in "$work"/debs/*.deb; do dpkg-deb -f "$d" Package; done | sort | xargs)
[ "$got" = "$expected" ] || { echo "packages: $got, want $expected"; exit 1; }
# The runtime packages hold the shared objects and nothing else but their copyright and
# changelog.
for lib in xcommon xmsg xjson; do
  bad=$(dpkg-deb -c "$work"/debs/lib${lib}1_*.deb | awk '{print $6}' | grep -v '/$' |
        grep -vE "^\./usr/lib/[^/]+/lib${lib}\.so\.1(\.[0-9.]+)?$" |
        grep -vE "^\./usr/share/doc/lib${lib}1/(copyright|changelog\.gz)$" || true)
  [ -z "$bad" ] || { echo "lib${lib}1 holds more than the library: $bad"; exit 1; }
done

lintian --display-info --fail-on error,warning "$work"/debs/*.changes

root=$work/root
for d in "$work"/debs/*.deb; do
  case $d in *-dbgsym_*) ;; *) dpkg-deb -x "$d" "$root" ;; esac
done
libdir=$(dirname "$(find "$root/usr/lib" -name libxcommon.so.1 | head -n 1)")
export LD_LIBRARY_PATH=$libdir

cmake -S examples/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/consumer" >/dev/null
(cd "$work/consumer" && ./consumer >/dev/null && ./xcommon_example >/dev/null &&
  ./xmsg_example >/dev/null && ./xjson_example >/dev/null)

PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="" \
  c++ -std=c++20 -o "$work/consumer_pc" examples/consumer/main.cpp \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs xcommon xmsg xjson)
(cd "$work" && ./consumer_pc >/dev/null)

"$root/usr/bin/xtool" cron '0 0 12 * * *' --from 2024-03-05T14:07:09Z --count 1 | grep -qx 2024-03-06T12:00:00Z
echo "packages: OK ($top)"
