#!/usr/bin/env bash
# Installs the packages the build, tests, benchmarks, fuzzers, reference and Debian packages
# need, when missing, on Debian 12 or 13 (or a Ubuntu of the same age). A "a|b" entry takes
# the first name the system's package lists offer (an installed one counts as offered).
set -euo pipefail

packages=(build-essential cmake pkg-config git binutils util-linux
  libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev
  protobuf-compiler libprotobuf-dev python3-protobuf
  libcjson-dev libcctz-dev libssl-dev tzdata
  clang "libclang-rt-dev|libclang-rt-14-dev" clang-format clang-tidy valgrind
  abigail-tools dpkg-dev help2man debhelper lintian doxygen)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
offered() { apt-cache show "$1" >/dev/null 2>&1; }

missing=()
choices=()
for p in "${packages[@]}"; do
  found=""
  IFS='|' read -r -a names <<<"$p"
  for n in "${names[@]}"; do
    if installed "$n"; then found=$n; break; fi
  done
  if [ -z "$found" ]; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
for p in "${missing[@]}"; do
  IFS='|' read -r -a names <<<"$p"
  chosen=""
  for n in "${names[@]}"; do
    if offered "$n"; then chosen=$n; break; fi
  done
  [ -n "$chosen" ] || { echo "none of these packages is offered here: $p" >&2; exit 1; }
  choices+=("$chosen")
done
apt-get install -y -qq "${choices[@]}"
