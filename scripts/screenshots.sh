#!/usr/bin/env bash
# Takes the pictures of the wizard's five steps in docs/screenshots/: the
# example package uploaded into the simulated instrument, drawn on Qt's
# offscreen platform (no display needed).
# Usage: scripts/screenshots.sh [BUILD_DIR [OUT_DIR]]   (default build, docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
cmake --build "$build" -j2 --target pelvane-screenshots pelvane-sim example_package

bin=$build/bin
package=$root/$build/examples/example.qxpkg
out=${2:-$root/docs/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
# A plain folder name, since the pictures show the package's and the output
# folder's paths.
work=${TMPDIR:-/tmp}/Pelvane
rm -rf "$work"
mkdir -p "$work"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The package is searched for in its own folder; copy it alone into one.
mkdir "$work/Firmware"
cp "$package" "$work/Firmware/"

mkfifo "$work/sim.out"
"$bin/pelvane-sim" --package "$package" --once >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 10 pty <&3 || { echo "the simulator did not start:" >&2; cat "$work/sim.log" >&2; exit 1; }

# The example package reads its calibration area into the current folder.
(cd "$work" && XDG_STATE_HOME=$work/state QT_QPA_PLATFORM=offscreen "$root/$bin/pelvane-screenshots" \
  "$work/Firmware/example.qxpkg" "$pty" "$out")
