#!/usr/bin/env bash
# A soak run, not part of the test suite.
#  1. Many pelvane-cli uploads into pelvane-sim with seeded random faults.
#     Every run must end with the outcome its fault implies, write its report
#     (a success one that says so), and leave no temporary file and no lock
#     file behind.
#  2. Many uploads in one wizard process (offscreen, Back and Execute again):
#     its open descriptors, threads and resident memory must not grow.
#
#   bench/soak.sh [RUNS] [SEED] [WIZARD_RUNS]   (default 200, 1, 20; BUILD_DIR default build-soak)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-200}
seed=${2:-1}
wizard_runs=${3:-20}
build=${BUILD_DIR:-build-soak}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DPELVANE_BENCH=ON -DPELVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target pelvane-cli pelvane-sim example_package wizard_soak >/dev/null
bin=$(cd "$build/bin" && pwd)
package=$(cd "$build/examples" && pwd)/example.qxpkg

work=$(mktemp -d "${TMPDIR:-/tmp}/pelvane-soak.XXXXXX")
trap 'pkill -P $$ pelvane-sim 2>/dev/null || true; rm -rf "$work"' EXIT
RANDOM=$seed

# name | simulator options | exit status the run must end with ("any": the
# line noise may or may not hit a frame that matters)
faults=(
  "none||0"
  "program block fails|--fail-prog 2|1"
  "erase fails|--fail-erase 1|1"
  "checksum differs|--bad-checksum 1|1"
  "boot monitor refuses|--boot-verdict C|1"
  "garbled answer|--corrupt-response 3|1"
  "answer out of turn|--wrong-code 4|1"
  "instrument falls silent|--silent-after 5|1"
  "device vanishes|--vanish-after 6|1"
  "line noise|--noise 0.0005|any"
)
declare -A seen failed
mismatches=0
for ((i = 1; i <= runs; ++i)); do
  IFS='|' read -r name options expect <<<"${faults[RANDOM % ${#faults[@]}]}"
  run=$work/run$i
  mkdir -p "$run/tmp"
  # shellcheck disable=SC2086 # the options are words
  "$bin/pelvane-sim" --package "$package" --dump "$run/flash" --once --seed "$i" $options \
    >"$run/sim.out" 2>"$run/sim.err" &
  sim=$!
  for _ in $(seq 100); do [ -s "$run/sim.out" ] && break; sleep 0.02; done
  pty=$(head -n 1 "$run/sim.out")
  status=0
  (cd "$run" && TMPDIR=$run/tmp "$bin/pelvane-cli" --package "$package" --port "$pty" --yes \
    --idle-timeout 1 --report report.json >cli.out 2>cli.err) || status=$?
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  problem=""
  if [ "$expect" != any ] && [ "$status" != "$expect" ]; then problem="exit $status, not $expect"; fi
  if [ "$expect" = any ] && [ "$status" != 0 ] && [ "$status" != 1 ]; then problem="exit $status"; fi
  if [ -n "$(ls -A "$run/tmp")" ]; then problem="$problem temporary files left"; fi
  lock=/run/lock/LCK..${pty#/dev/}
  if [ -e "${lock//pts\//pts_}" ]; then problem="$problem lock file left"; fi
  if [ ! -s "$run/report.json" ]; then problem="$problem no report"; fi
  if [ "$status" = 0 ] && ! grep -q '"ok": true' "$run/report.json"; then problem="$problem report not ok"; fi
  seen[$name]=$((${seen[$name]:-0} + 1))
  if [ -n "$problem" ]; then
    failed[$name]=$((${failed[$name]:-0} + 1))
    mismatches=$((mismatches + 1))
    echo "run $i ($name): $problem" >&2
  fi
  rm -rf "$run"
done

printf '%-26s %6s %10s\n' fault runs mismatches
for f in "${faults[@]}"; do
  name=${f%%|*}
  printf '%-26s %6s %10s\n' "$name" "${seen[$name]:-0}" "${failed[$name]:-0}"
done

echo
echo "$wizard_runs uploads in one wizard process:"
mkdir -p "$work/wizard/tmp"
wizard=0
(cd "$work/wizard" && TMPDIR=$work/wizard/tmp XDG_STATE_HOME=$work/wizard/state \
  QT_QPA_PLATFORM=offscreen "$bin/wizard_soak" "$bin/pelvane-sim" "$package" "$wizard_runs" \
  2>/dev/null) || wizard=$?
left=$(ls -A "$work/wizard/tmp" | grep -v '^runtime-' || true)
if [ -n "$left" ]; then echo "temporary files left by the wizard: $left"; wizard=1; fi
[ "$mismatches" = 0 ] && [ "$wizard" = 0 ]
