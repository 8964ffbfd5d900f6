#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Pelvane and runs a full firmware
# upload of the example package into the simulated instrument.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build

bin=build/bin
package=build/examples/example.qxpkg
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
