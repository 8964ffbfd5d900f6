#!/usr/bin/env bash
# Installs the Debian 12 packages Pelvane needs (needs root or sudo).
#
#   scripts/setup.sh              everything: building, the wizard, testing, packaging
#   scripts/setup.sh --programs   only what building the command-line programs needs
#   scripts/setup.sh --wizard     that and Qt, for the wizard
set -euo pipefail

programs=(build-essential cmake ninja-build pkg-config ccache libzip-dev zip libudev-dev
  nlohmann-json3-dev)
wizard=(qt6-base-dev libgl-dev librsvg2-bin)
testing=(libgtest-dev libgmock-dev clang libclang-rt-14-dev clang-format xvfb xauth
  dpkg-dev file lintian man-db shared-mime-info desktop-file-utils)

case "${1:-}" in
  --programs) packages=("${programs[@]}") ;;
  --wizard) packages=("${programs[@]}" "${wizard[@]}") ;;
  "") packages=("${programs[@]}" "${wizard[@]}" "${testing[@]}") ;;
  *)
    echo "usage: scripts/setup.sh [--programs | --wizard]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
