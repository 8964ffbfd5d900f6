#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Pelvane and runs every test; then
# runs the tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and
# the threaded layers under ThreadSanitizer.
#
#   scripts/test.sh           everything
#   scripts/test.sh --quick   the plain build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
[ "${1:-}" = "--quick" ] && quick=true

jobs=$(nproc)
run_ctest() {
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}

scripts/setup.sh

echo "== plain build and every test"
scripts/build.sh build
run_ctest build

if $quick; then exit 0; fi

# The sanitizer builds leave the wizard out: Qt itself is not built with the
# sanitizers, so its own code would only add noise; the plain run covers it.
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DPELVANE_SANITIZE=ON -DPELVANE_WIZARD=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan

echo "== ThreadSanitizer: the layers with threads"
scripts/build.sh build-tsan -DPELVANE_TSAN=ON -DPELVANE_WIZARD=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_ctest build-tsan -R '^(core_test|ports_test|gpib_|session_|app_|upload_test|cli_)'
