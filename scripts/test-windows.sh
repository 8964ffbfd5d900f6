#!/usr/bin/env bash
# Tests the Windows programs under Wine: their unit tests as Windows programs,
# then whole uploads of pelvane-cli.exe into the Linux pelvane-sim through COM
# ports, GPIB over the project's driver DLL, and pelvane-pkg.exe against the
# Linux pelvane-pkg. Fails when one of them fails.
#
#   scripts/test-windows.sh [LINUX_BUILD [WINDOWS_BUILD]]   default build, build-windows
#
# The Linux build (scripts/build.sh) gives the simulator and the test that
# drives the Windows runner; the Windows build is scripts/build-windows.sh's.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
linux=$(cd "${1:-build}" && pwd)
windows=$(cd "${2:-build-windows}" && pwd)
project=$windows/project
jobs=$(nproc)

# A Wine of its own in the build folder, quiet about what it does not emulate.
export WINEPREFIX=$windows/wineprefix WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
ports=$windows/com-ports
mkdir -p "$ports"

# Wine's server first, with a log of its own: it adopts the terminal of the
# first pseudo-terminal a program opens, and an inherited standard error
# would fill with its messages.
start_wineserver() {
  setsid wineserver -p </dev/null >>"$windows/wineserver.log" 2>&1 || true
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
}
wineserver -k 2>/dev/null || true
start_wineserver

# COM10 to COM29 lead to links in $ports that the simulator points at its
# pseudo-terminal (--link). Windows programs find COM ports in the registry;
# Wine rewrites its dosdevices links from it at every start, so the server is
# started again to read them.
reg=$windows/com-ports.reg
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for n in $(seq 10 29); do printf '"COM%d"="%s/com%d"\n' "$n" "$ports" "$n"; done
} >"$reg"
wine regedit /S "$(winepath -w "$reg")" </dev/null >/dev/null 2>&1
wineserver -k
start_wineserver
trap 'wineserver -k 2>/dev/null || true' EXIT

echo "== Windows unit tests under Wine"
ctest --test-dir "$project" --output-on-failure -j "$jobs"

echo "== pelvane-cli.exe through COM ports into the Linux simulator"
PELVANE_WINDOWS_BIN=$project/bin PELVANE_WINE_PORTS=$ports PELVANE_WINE=$(command -v wine) \
  ctest --test-dir "$linux" --output-on-failure -j "$jobs" -R '^reliability_matrix_test\.Windows/'

echo "== pelvane-pkg.exe gives what pelvane-pkg gives"
work=$(mktemp -d)
trap 'rm -rf "$work"; wineserver -k 2>/dev/null || true' EXIT
folder=$top/examples/example-package
"$linux/bin/pelvane-pkg" create "$folder" "$work/linux.qxpkg" --hex --comment "Pelvane Example" \
  >/dev/null
wine "$project/bin/pelvane-pkg.exe" create "Z:$folder" "Z:$work/windows.qxpkg" --hex \
  --comment "Pelvane Example" </dev/null >/dev/null
cmp "$work/linux.qxpkg" "$work/windows.qxpkg"
for command in show check; do
  "$linux/bin/pelvane-pkg" "$command" "$work/linux.qxpkg" >"$work/$command.linux" 2>&1 || true
  wine "$project/bin/pelvane-pkg.exe" "$command" "Z:$work/linux.qxpkg" </dev/null \
    >"$work/$command.windows" 2>&1 || true
  # The package's own path is the one thing that may differ.
  sed -i "s|Z:$work|$work|g" "$work/$command.windows"
  diff -u "$work/$command.linux" "$work/$command.windows"
done
echo "the same archive, and the same show and check output"
