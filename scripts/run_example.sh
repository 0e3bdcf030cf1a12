#!/usr/bin/env bash
# Installs what is missing, builds in release with the API reference, installs into ./stage,
# runs the installed xtool on real inputs, then builds the example consumer and the examples of
# each library against the installed packages (CMake config and pkg-config) and runs them, and
# the PHP extension example once under php-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/install_deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
cmake --build --preset release --target docs  # already built by default; fails on any Doxygen warning
rm -rf stage
cmake --install build/release --prefix "$top/stage" >/dev/null

cmake -S examples/consumer -B examples/consumer/build -DCMAKE_PREFIX_PATH="$top/stage" >/dev/null
cmake --build examples/consumer/build -j "$(nproc)"
# The same program once more, built with nothing but pkg-config.
export PKG_CONFIG_PATH="$top/stage/lib/pkgconfig"
c++ -std=c++20 -o examples/consumer/build/consumer_pc examples/consumer/main.cpp \
  $(pkg-config --cflags --libs xcommon xmsg xjson) -Wl,-rpath,"$top/stage/lib"

xtool=stage/bin/xtool
echo "=== xtool cron: the next five weekday mornings at 09:30"
"$xtool" cron '0 30 9 * * MON-FRI'
echo "=== xtool msg decode: an event written by the C++ classes"
examples/consumer/build/consumer --write-event examples/consumer/build/event.bin
"$xtool" msg decode xavro.protobuf.Monitor.Event examples/consumer/build/event.bin
echo "=== xtool json --compact: a JSON file of the repository"
"$xtool" json --compact src/libs/json/fuzz/corpus/object.json
echo "=== xtool sysinfo"
"$xtool" sysinfo
echo "=== xtool cron --zone: nightly at 02:30 in Berlin across the change to summer time"
"$xtool" cron '0 30 2 * * *' --zone Europe/Berlin --from 2024-03-29T12:00:00Z --count 3

echo "=== the example consumer"
cd examples/consumer/build
./consumer
./consumer_pc >/dev/null
for example in xcommon_example xmsg_example xjson_example; do
  echo "=== $example"
  "./$example"
done
cd "$top"
echo "=== the PHP extension example, once under php-cli"
PKG_CONFIG_PATH="$top/stage/lib/pkgconfig" make -s -C examples/php LDFLAGS="-Wl,-rpath,$top/stage/lib"
php -n -d extension="$top/examples/php/build/xdemo.so" examples/php/request.php
test -f "$top/stage/share/doc/xlibs/html/index.html"
echo "example consumer, examples and reference: OK"
