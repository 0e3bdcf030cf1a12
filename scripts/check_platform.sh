#!/usr/bin/env bash
# check_platform.sh [RELEASE]: runs the README's two commands and the style check on another
# Debian release (default trixie), in a minimal chroot made with debootstrap and kept under
# $XLIBS_CHROOT_DIR (default /var/tmp) for the next run. The work tree (tracked and untracked
# files git does not ignore) and ../shared/data, when present, are copied in afresh each time.
# Needs root and the Debian package mirror. The last line says how each step went.
set -euo pipefail
release=${1:-trixie}
cd "$(dirname "$0")/.."
top=$PWD
[ "$(id -u)" -eq 0 ] || { echo "check_platform.sh needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null

root=${XLIBS_CHROOT_DIR:-/var/tmp}/xlibs-$release
mirror=${XLIBS_MIRROR:-http://deb.debian.org/debian}
if [ ! -x "$root/usr/bin/apt-get" ]; then
  rm -rf "$root"
  mkdir -p "$root"
  debootstrap --variant=minbase "$release" "$root" "$mirror"
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
mountin() {  # mountin <what> <where under root> [mount options...]
  local where=$root$2
  mkdir -p "$where"
  mount "${@:3}" "$1" "$where"
  mounted+=("$where")
}
mountin proc /proc -t proc
mountin sysfs /sys -t sysfs
mountin /dev /dev --bind
mountin devpts /dev/pts -t devpts
mountin tmpfs /dev/shm -t tmpfs
cp /etc/resolv.conf "$root/etc/resolv.conf"

# A fresh copy of the tree, as CI's clean clone would have it.
rm -rf "$root/src"
mkdir -p "$root/src/xlibs"
git ls-files -z --cached --others --exclude-standard --deduplicate |
  while IFS= read -r -d '' f; do
    if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
  done | tar -c --null -T - | tar -x -C "$root/src/xlibs"
if [ -d ../shared/data ]; then
  mkdir -p "$root/src/shared"
  cp -a ../shared/data "$root/src/shared/"
fi

inside() {  # inside <log name> <command>
  local log=$top/build/platform-$release-$1.log
  mkdir -p "$top/build"
  if chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
      bash -c "cd /src/xlibs && $2" >"$log" 2>&1; then
    echo ok
  else
    echo "failed (see $log)" >&2
    echo failed
  fi
}
# git is what the style check lists files with; the scripts install everything else.
chroot "$root" bash -c 'command -v git >/dev/null || { apt-get update -qq && apt-get install -y -qq git; }
  cd /src/xlibs && git init -q && git add -A' >/dev/null

example=$(inside run_example scripts/run_example.sh)
tests=$(inside test_all scripts/test_all.sh)
style=$(inside style scripts/check_style.sh)
echo "platform $release: run_example $example, test_all $tests, style $style"
[ "$example$tests$style" = okokok ]
