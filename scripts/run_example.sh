#!/usr/bin/env bash
# Installs what is missing, builds in release, installs into ./stage, builds the example
# consumer against the installed packages (CMake config and pkg-config) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/install_deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
rm -rf stage
cmake --install build/release --prefix "$top/stage" >/dev/null

cmake -S examples/consumer -B examples/consumer/build -DCMAKE_PREFIX_PATH="$top/stage" >/dev/null
cmake --build examples/consumer/build -j "$(nproc)"

# The same program once more, built with nothing but pkg-config.
export PKG_CONFIG_PATH="$top/stage/lib/pkgconfig"
c++ -std=c++20 -o examples/consumer/build/consumer_pc examples/consumer/main.cpp \
  $(pkg-config --cflags --libs xcommon xmsg xjson) -Wl,-rpath,"$top/stage/lib"

cd examples/consumer/build
./consumer
./consumer_pc >/dev/null
echo "example consumer: OK"
