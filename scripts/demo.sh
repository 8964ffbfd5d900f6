#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Pelvane and shows the example package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
echo "Pelvane is built in build/bin."
