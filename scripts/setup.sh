#!/usr/bin/env bash
# Installs what Pelvane needs to build and test on Debian 12 (needs root or sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libzip-dev zip libudev-dev nlohmann-json3-dev
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev clang-format
  xvfb xauth
  librsvg2-bin
  dpkg-dev file lintian man-db shared-mime-info desktop-file-utils
)

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
