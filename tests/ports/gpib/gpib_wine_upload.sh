#!/bin/sh
# A whole GPIB upload with the Windows programs under Wine: pelvane-cli.exe
# --port GPIB loads pelvane-gpib-sim.dll, which reaches the Linux pelvane-sim
# over loopback TCP (the simulator is a Linux program only).
#
#   gpib_wine_upload.sh SIM WINE CLI_EXE DRIVER_DLL PACKAGE
#
# SIM is a Linux build's pelvane-sim, WINE the wine program, CLI_EXE and
# DRIVER_DLL the Windows build's pelvane-cli.exe and pelvane-gpib-sim.dll,
# PACKAGE the firmware package to upload. Exit status 0 when the upload
# succeeded and the simulator saw no protocol violation.
set -eu
if [ $# -ne 5 ]; then
  echo "usage: $0 SIM WINE CLI_EXE DRIVER_DLL PACKAGE" >&2
  exit 2
fi
sim=$1 wine=$2 cli=$3 driver=$4 package=$5
work=$(mktemp -d "${TMPDIR:-/tmp}/pelvane-gpib-wine.XXXXXX")
simpid=""
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export WINEDEBUG="${WINEDEBUG:--all}"
: "${WINEPATH:=/usr/lib/gcc/x86_64-w64-mingw32/12-posix;/usr/x86_64-w64-mingw32/lib}"
export WINEPATH

# A Linux path as the Windows programs see it (Wine's drive Z: is the root).
windows_path() {
  printf 'Z:%s' "$1" | sed 's|/|\\|g'
}

"$sim" --gpib-tcp 0 --package "$package" --once >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
# The simulator's first line is the address of its bus, once it listens.
tries=0
until [ -s "$work/sim.out" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 200 ] || ! kill -0 "$simpid" 2>/dev/null; then
    echo "pelvane-sim did not start:" >&2
    cat "$work/sim.err" >&2
    exit 1
  fi
  sleep 0.05
done
address=$(head -n 1 "$work/sim.out")
case $address in
  tcp:127.0.0.1:*) ;;
  *)
    echo "pelvane-sim printed no TCP address: $address" >&2
    exit 1
    ;;
esac

status=0
(cd "$work" &&
  PELVANE_GPIB_SOCKET=$address PELVANE_GPIB_LIBRARY=$(windows_path "$driver") \
    "$wine" "$cli" --package "$(windows_path "$package")" --port GPIB --yes \
    >"$work/cli.out" 2>"$work/cli.err") || status=$?
# With --once the simulator ends after the upload; after a failed one, or
# when it does not end within 10 s, it is stopped.
[ $status -ne 0 ] && kill "$simpid" 2>/dev/null
tries=0
while kill -0 "$simpid" 2>/dev/null && [ $tries -lt 200 ]; do
  tries=$((tries + 1))
  sleep 0.05
done
kill "$simpid" 2>/dev/null || true
simstatus=0
wait "$simpid" || simstatus=$?
simpid=""

if [ $status -ne 0 ] || ! grep -q "The Firmware has been uploaded successfully" "$work/cli.out" ||
  [ $simstatus -ne 0 ] || ! grep -q "protocol violations: 0" "$work/sim.err"; then
  echo "GPIB upload under Wine failed: pelvane-cli.exe $status, pelvane-sim $simstatus" >&2
  for f in cli.out cli.err sim.err; do
    echo "--- $f" >&2
    cat "$work/$f" >&2
  done
  exit 1
fi
echo "GPIB upload under Wine over $address: OK"
