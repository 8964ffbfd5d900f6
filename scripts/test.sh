#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs the gates: formatting, function
# lengths, the plain build with warnings as errors and every test, the
# Windows programs built with MinGW-w64 and tested under Wine (their unit
# tests, and uploads through
# COM ports into the simulator), the Debian package built and tried from a
# scratch root, the tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded layers under
# ThreadSanitizer, and each libFuzzer target for a while (when clang is there).
#
#   scripts/test.sh           everything
#   scripts/test.sh --quick   formatting, function lengths, the plain build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
[ "${1:-}" = "--quick" ] && quick=true

# Seconds each fuzz target runs over its seed corpus.
fuzz_seconds=${PELVANE_FUZZ_SECONDS:-30}

jobs=$(nproc)

# Each stage says when it starts; at the end, how long each took.
stages=()
stage_name=""
stage_start=$SECONDS
stage() {
  if [ -n "$stage_name" ]; then stages+=("$(printf '%5d s  %s' $((SECONDS - stage_start)) "$stage_name")"); fi
  stage_name=$1
  stage_start=$SECONDS
  [ -n "$1" ] && echo "== $1"
  return 0
}
report_stages() {
  stage ""
  echo "== time of each stage"
  printf '%s\n' "${stages[@]}"
  echo "$(printf '%5d s' "$SECONDS")  in all"
}
trap report_stages EXIT

run_ctest() {
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}

stage "set-up (Debian packages)"
scripts/setup.sh

stage "formatting (clang-format)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

stage "function lengths (at most 80 lines; tests are only warned about)"
scripts/function-lengths.py src tools
scripts/function-lengths.py --warn-only tests

stage "plain build (warnings are errors) and every test"
scripts/build.sh build -DPELVANE_WERROR=ON
run_ctest build

if $quick; then exit 0; fi

stage "Windows: built with MinGW-w64"
scripts/build-windows.sh build-windows -DPELVANE_LINUX_SIM="$PWD/build/bin/pelvane-sim"
stage "Windows: tested under Wine"
scripts/test-windows.sh build build-windows

stage "Debian package: built, unpacked into a scratch root, tried, checked by lintian"
scripts/package.sh --check

# The sanitizer builds leave the wizard out: Qt itself is not built with the
# sanitizers, so its own code would only add noise; the plain run covers it.
stage "AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DPELVANE_SANITIZE=ON -DPELVANE_WIZARD=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan

stage "ThreadSanitizer: the layers with threads"
scripts/build.sh build-tsan -DPELVANE_TSAN=ON -DPELVANE_WIZARD=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_ctest build-tsan -R '^(core_test|ports_test|gpib_|session_|app_|upload_test|cli_)'

if ! command -v clang++ >/dev/null; then
  stage "libFuzzer targets: skipped, clang++ is not installed"
  exit 0
fi
stage "libFuzzer targets, ${fuzz_seconds} s each over their seed corpora"
# Only the fuzz targets and the libraries they link are built.
scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DPELVANE_FUZZ=ON -DPELVANE_TESTS=OFF -DPELVANE_WIZARD=OFF --target fuzzers
fuzz_work=$(mktemp -d)
trap 'rm -rf "$fuzz_work"; report_stages' EXIT
export ASAN_OPTIONS=quarantine_size_mb=8:max_malloc_fill_size=0
run_fuzzer() {
  local target=$1 corpus=$2
  shift 2
  # New inputs go to a scratch folder, so the committed seeds stay as they are.
  mkdir -p "$fuzz_work/$target"
  if ! "build-fuzz/bin/$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
    -artifact_prefix="$fuzz_work/$target-" "$@" "$fuzz_work/$target" "$corpus" \
    >"$fuzz_work/$target.log" 2>&1; then
    tail -n 60 "$fuzz_work/$target.log"
    echo "$target failed; the input that made it fail:" "$fuzz_work/$target"-*
    echo "Add it to $corpus so that reliability_fuzz_test replays it."
    trap report_stages EXIT
    return 1
  fi
  echo "$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$fuzz_work/$target.log" |
    grep -o '[0-9]*$') executions"
}
run_fuzzer app_response_fuzzer fuzz/app/corpus -max_len=300
run_fuzzer commandline_fuzzer fuzz/commandline/corpus
run_fuzzer package_profile_fuzzer fuzz/package/corpus/profile
run_fuzzer package_configuration_fuzzer fuzz/package/corpus/configuration
run_fuzzer package_archive_fuzzer fuzz/package/corpus/archive
run_fuzzer session_receive_fuzzer fuzz/session/corpus
