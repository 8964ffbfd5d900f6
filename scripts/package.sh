#!/usr/bin/env bash
# Builds the Debian package of Pelvane into dist/ (pelvane_VERSION_ARCH.deb).
#
#   scripts/package.sh [--check] [BUILD_DIR]     (default build-package)
#
# --check then unpacks the package into a scratch root and tries what it installed:
# the programs start from there, the example package passes `pelvane-pkg check`, a
# full upload runs from the installed pelvane-cli into the installed pelvane-sim
# (over a pseudo-terminal and over the GPIB simulator driver), every manual page
# renders, the desktop entry and the file type are valid, and lintian finds no error.
set -euo pipefail
cd "$(dirname "$0")/.."

check=false
if [ "${1:-}" = "--check" ]; then
  check=true
  shift
fi
dir=${1:-build-package}

# Debian's own optimisation and hardening flags, as a package built by debhelper gets them.
# CMake reads no CPPFLAGS, so the preprocessor's go in front of the compilers' flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

# Installed under /usr, so that the libraries go to lib/<multiarch>/pelvane.
scripts/build.sh "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DPELVANE_TESTS=OFF
rm -f dist/pelvane_*.deb
mkdir -p dist
(cd "$dir" && cpack -G DEB -D CPACK_OUTPUT_FILE_PREFIX="$OLDPWD/dist")
deb=$(ls dist/pelvane_*.deb)
echo "Built $deb"
$check || exit 0

echo "== the package unpacked into a scratch root"
work=$(mktemp -d "${TMPDIR:-/tmp}/pelvane-package.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
example=$root/usr/share/pelvane/examples/example.qxpkg
version=$(dpkg-deb -f "$deb" Version)
fail() {
  echo "package check: $*" >&2
  exit 1
}

# The programs find their libraries in the package's own folder, wherever it lies.
[ "$("$bin/pelvane-cli" --version)" = "pelvane-cli $version" ] || fail "pelvane-cli --version"
mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=offscreen "$bin/pelvane" --version | grep -qx "pelvane $version" ||
  fail "pelvane --version"
"$bin/pelvane-sim" --help >/dev/null || fail "pelvane-sim --help"
"$bin/pelvane-pkg" check "$example"

# A full upload over a pseudo-terminal: the simulator prints its port first.
mkfifo "$work/sim.out"
mkdir "$work/serial" "$work/gpib"
"$bin/pelvane-sim" --package "$example" --dump "$work/serial/flash" --once \
  >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 10 pty <&3 || { cat "$work/sim.log" >&2; fail "pelvane-sim did not start"; }
(cd "$work/serial" && "$bin/pelvane-cli" --package "$example" --port "$pty" --yes >upload.log) ||
  { cat "$work/serial/upload.log" "$work/sim.log" >&2; fail "upload over $pty failed"; }
wait "$sim_pid" || { cat "$work/sim.log" >&2; fail "pelvane-sim reported a fault"; }
sim_pid=""
exec 3<&-
echo "upload over a pseudo-terminal: $(tail -n 1 "$work/serial/upload.log")"

# The same over GPIB, through the installed simulator driver library.
driver=$(find "$root/usr/lib" -name libpelvane-gpib-sim.so)
[ -n "$driver" ] || fail "no GPIB simulator driver in the package"
"$bin/pelvane-sim" --package "$example" --gpib-socket "$work/gpib.sock" \
  2>"$work/sim-gpib.log" >/dev/null &
sim_pid=$!
for _ in $(seq 100); do
  [ -S "$work/gpib.sock" ] && break
  sleep 0.1
done
(cd "$work/gpib" && PELVANE_GPIB_LIBRARY=$driver PELVANE_GPIB_SOCKET=$work/gpib.sock \
  "$bin/pelvane-cli" --package "$example" --port GPIB --yes >upload.log) ||
  { cat "$work/gpib/upload.log" "$work/sim-gpib.log" >&2; fail "upload over GPIB failed"; }
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo "upload over GPIB: $(tail -n 1 "$work/gpib/upload.log")"

# Every manual page renders without a warning.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  LC_ALL=C.UTF-8 man -l "$page" | grep -q . || fail "$(basename "$page") is empty"
done
echo "manual pages: $(ls "$root"/usr/share/man/man1 | tr '\n' ' ')"

# The desktop entry, and the file type as the desktop's database sees it.
desktop-file-validate "$root/usr/share/applications/pelvane.desktop"
XDG_DATA_DIRS=$root/usr/share update-mime-database "$root/usr/share/mime"
grep -q '^50:application/x-pelvane-package:\*\.qxpkg$' "$root/usr/share/mime/globs2" ||
  fail "the package type's glob is missing or case-sensitive"

echo "== lintian"
lintian --allow-root --fail-on error --display-level '>=warning' "$deb"
echo "package check passed"
