#!/usr/bin/env bash
# Installs the Debian 12 packages the build, tests, benchmarks, fuzzers and Debian packages
# need, when missing.
set -euo pipefail

packages=(build-essential cmake pkg-config git binutils
  libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev
  protobuf-compiler libprotobuf-dev python3-protobuf
  libcjson-dev libssl-dev clang libclang-rt-14-dev clang-format clang-tidy valgrind
  abigail-tools dpkg-dev help2man debhelper lintian)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
