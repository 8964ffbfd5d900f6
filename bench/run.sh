#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them: full uploads of generated
# packages against the simulated instrument (paced, unpaced, in parallel) and
# the processor time of an idle open link.
#
#   bench/run.sh [--full] [other pelvane-bench options]
#
# --full adds 1 MiB at 9600 baud (about 20 minutes). BUILD_DIR chooses the
# build folder (default build-bench). Run it on an otherwise quiet machine:
# other load shows up as wall time.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DPELVANE_BENCH=ON -DPELVANE_WIZARD=OFF >/dev/null
cmake --build "$build" -j2 --target pelvane-bench session_bench loading_bench

echo "machine: $(nproc) processors, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), kernel $(uname -r)"
status=0
"$build/bin/pelvane-bench" "$@" || status=$?
echo
echo "Idle open link and acknowledgement round trip (session_bench):"
"$build/bin/session_bench" 5 200
echo
echo "Loading and checking packages far larger than real ones (loading_bench):"
"$build/bin/loading_bench" || status=$?
exit "$status"
