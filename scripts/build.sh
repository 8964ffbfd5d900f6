#!/usr/bin/env bash
# Configures and builds Pelvane.
# Usage: scripts/build.sh [BUILD_DIR] [extra cmake options...] [--target NAME...]
# Without --target everything is built; with it only those targets and what they need.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
configure=()
build=()
while [ $# -gt 0 ]; do
  case $1 in
    --target)
      build+=(--target "$2")
      shift 2
      ;;
    *)
      configure+=("$1")
      shift
      ;;
  esac
done
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  # Paths inside the tree hash as relative ones, so clones in other folders share the cache.
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "${configure[@]}"
cmake --build "$dir" -j "$(nproc)" "${build[@]}"
