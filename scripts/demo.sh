#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine with what the command-line programs need,
# builds them (no wizard, no tests) and runs a full firmware upload of the
# example package into the simulated instrument.
#
#   scripts/demo.sh                 the runner and the simulator
#   scripts/demo.sh --with-wizard   also the wizard, and pictures of its steps
#                                   (offscreen) against the simulator
set -euo pipefail
cd "$(dirname "$0")/.."
wizard=false
[ "${1:-}" = "--with-wizard" ] && wizard=true

build=build-demo
if $wizard; then
  scripts/setup.sh --wizard
  scripts/build.sh "$build" -DPELVANE_TESTS=OFF -DPELVANE_WIZARD=ON
else
  scripts/setup.sh --programs
  scripts/build.sh "$build" -DPELVANE_TESTS=OFF -DPELVANE_WIZARD=OFF \
    --target pelvane-cli --target pelvane-sim --target example_package
fi

bin=$build/bin
package=$build/examples/example.qxpkg
work=$(mktemp -d "${TMPDIR:-/tmp}/pelvane-demo.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator prints the terminal side of its pseudo-terminal first; the
# runner opens that path as its serial port.
mkfifo "$work/sim.out"
"$bin/pelvane-sim" --package "$package" --dump "$work/flash" --once >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 10 pty <&3 || { echo "the simulator did not start:" >&2; cat "$work/sim.log" >&2; exit 1; }

echo "Simulated instrument on $pty; uploading $package"
echo
# The package reads the calibration area back into a file of the current folder.
(cd "$work" && "$OLDPWD/$bin/pelvane-cli" --package "$OLDPWD/$package" --port "$pty" --yes)

if $wizard; then
  echo
  scripts/screenshots.sh "$build" "$build/screenshots"
  echo "The wizard's steps, drawn offscreen against the simulator: $build/screenshots"
fi
echo
echo "The programs are in $build/bin."
