#!/usr/bin/env bash
# Installs the packages the build, tests, benchmarks, fuzzers, reference and Debian packages
# need, when missing, on Debian 12 or 13 (or a Ubuntu of the same age). A "a|b" entry takes
# the first name the system's package lists offer (an installed one counts as offered).
set -euo pipefail

packages=(build-essential cmake pkg-config git binutils util-linux
  libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev
  protobuf-compiler libprotobuf-dev python3-protobuf
  libcjson-dev rapidjson-dev libcctz-dev libssl-dev tzdata
  clang "libclang-rt-dev|libclang-rt-14-dev" clang-format clang-tidy valgrind
  abigail-tools dpkg-dev help2man debhelper lintian doxygen
  php-dev php-cli php-fpm)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
offered() { apt-cache show "$1" >/dev/null 2>&1; }

# pick <test> "a|b": prints the first name that passes the test; fails when none does.
pick() {
  local n names
  IFS='|' read -r -a names <<<"$2"
  for n in "${names[@]}"; do
    if "$1" "$n"; then echo "$n"; return 0; fi
  done
  return 1
}

missing=()
for p in "${packages[@]}"; do
  pick installed "$p" >/dev/null || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
choices=()
for p in "${missing[@]}"; do
  chosen=$(pick offered "$p") || { echo "none of these packages is offered here: $p" >&2; exit 1; }
  choices+=("$chosen")
done
apt-get install -y -qq "${choices[@]}"
