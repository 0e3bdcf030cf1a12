#!/usr/bin/env bash
# php_fpm_test.sh [SECONDS]: builds the PHP extension example against ./stage (which
# scripts/run_example.sh installs) and runs it inside php-fpm for SECONDS (default 45) while
# workers are killed at random and the log is rotated (tests/php/fpm_test.py says what it
# checks). Where php-fpm is missing or cannot start it says so and passes, except in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
seconds=${1:-45}

skip() {
  echo "php-fpm test skipped: $1"
  [ "${CI:-}" = true ] && { echo "php-fpm test: CI needs php-fpm" >&2; exit 1; }
  exit 0
}

fpm=$(compgen -G '/usr/sbin/php-fpm*' | sort -V | tail -n 1 || true)
[ -n "$fpm" ] || skip "no php-fpm (scripts/install_deps.sh installs it)"
command -v php-config >/dev/null || skip "no php-config (scripts/install_deps.sh installs it)"
[ -f stage/lib/pkgconfig/xcommon.pc ] || { echo "run scripts/run_example.sh first: it installs ./stage" >&2; exit 1; }

PKG_CONFIG_PATH="$top/stage/lib/pkgconfig" make -s -C examples/php LDFLAGS="-Wl,-rpath,$top/stage/lib"
status=0
/usr/bin/python3 tests/php/fpm_test.py --fpm "$fpm" --extension examples/php/build/xdemo.so \
  --script examples/php/request.php --seconds "$seconds" || status=$?
[ "$status" -eq 77 ] && skip "php-fpm could not be started here"
exit "$status"
