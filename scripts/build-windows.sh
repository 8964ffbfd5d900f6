#!/usr/bin/env bash
# Builds the Windows programs (pelvane-cli.exe, pelvane-pkg.exe and their
# DLLs) and their tests with Debian's MinGW-w64 cross compiler, and packs
# dist/pelvane-<version>-windows-x64.zip. Needs root or sudo for the Debian
# packages; everything else stays in the build folder.
#
#   scripts/build-windows.sh [BUILD_DIR [CMAKE OPTIONS...]]    default build-windows
#
# The programs and tests end up in BUILD_DIR/project/bin, the zip in dist/.
#
# libzip comes from Debian's own source package (fetched with a private
# sources list, so the machine's apt configuration is not touched) and is
# built static for Windows, as is googletest from Debian's libgtest-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
dir=${1:-build-windows}
shift || true
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
deps=$dir/deps
triple=x86_64-w64-mingw32
jobs=$(nproc)

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev wine wine64
  libgtest-dev nlohmann-json3-dev cmake ninja-build dpkg-dev zip xz-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

toolchain=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$deps" -DCMAKE_PREFIX_PATH="$deps")
export PELVANE_WINDOWS_DEPS=$deps

# libzip, from the Debian source package of the release the machine runs.
if [ ! -f "$deps/lib/libzip.a" ]; then
  scratch=$dir/libzip-source
  rm -rf "$scratch"
  mkdir -p "$scratch/lists/partial" "$scratch/cache/archives/partial"
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  echo "deb-src http://deb.debian.org/debian $codename main" >"$scratch/sources.list"
  apt_private=(-o Dir::Etc::SourceList="$scratch/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$scratch/lists" -o Dir::Cache="$scratch/cache"
    -o APT::Sandbox::User="$(id -un)")
  apt-get "${apt_private[@]}" update >"$scratch/update.log"
  (cd "$scratch" && apt-get "${apt_private[@]}" source libzip >"$scratch/source.log")
  src=$(find "$scratch" -mindepth 1 -maxdepth 1 -type d -name 'libzip-[0-9]*' | head -n 1)
  cmake -S "$src" -B "$scratch/build" -G Ninja "${toolchain[@]}" -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
    -DENABLE_WINDOWS_CRYPTO=ON -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
    -DZLIB_LIBRARY=/usr/$triple/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$triple/include >"$scratch/configure.log"
  cmake --build "$scratch/build" -j "$jobs" >"$scratch/build.log"
  cmake --install "$scratch/build" >/dev/null
fi

# googletest, from the sources Debian ships in libgtest-dev.
if [ ! -f "$deps/lib/libgtest.a" ]; then
  cmake -S /usr/src/googletest -B "$dir/googletest" -G Ninja "${toolchain[@]}" \
    -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF >"$dir/googletest.log"
  cmake --build "$dir/googletest" -j "$jobs" >>"$dir/googletest.log"
  cmake --install "$dir/googletest" >/dev/null
fi
# nlohmann/json is headers only: Debian's copy serves every platform.
if [ ! -d "$deps/include/nlohmann" ]; then
  mkdir -p "$deps/include" "$deps/share/cmake"
  cp -r /usr/include/nlohmann "$deps/include/"
  cp -r /usr/share/cmake/nlohmann_json "$deps/share/cmake/"
fi

# The project, its tests and the zip.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=1
fi
# Wine runs the tests' discovery during the build; it keeps its own prefix in
# the build folder and says nothing about what it does not emulate.
export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all
# -O2 as on Linux: GCC 12's -O3 warns about std::string concatenations that
# are sound (-Wrestrict), which warnings-as-errors would stop at.
cmake -S "$top" -B "$dir/project" -G Ninja "${toolchain[@]}" "${launcher[@]}" -DPELVANE_WERROR=ON \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_INSTALL_PREFIX="$dir/stage" "$@"
cmake --build "$dir/project" -j "$jobs"

version=$(sed -n 's/^project(pelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=pelvane-$version-windows-x64
rm -rf "$dir/stage" "$dir/$name"
cmake --install "$dir/project" --strip >/dev/null
# The compiler's run-time DLLs come with their symbols (libstdc++ alone is
# 23 MB of them); a technician's copy needs none.
x86_64-w64-mingw32-strip --strip-unneeded "$dir/stage"/lib{stdc++-6,gcc_s_seh-1,winpthread-1}.dll
mv "$dir/stage" "$dir/$name"
mkdir -p dist
rm -f "dist/$name.zip"
# Sorted names and the files' own times: the same tree gives the same zip.
(cd "$dir" && find "$name" -print | LC_ALL=C sort | zip -X -q "$top/dist/$name.zip" -@)
echo "dist/$name.zip: $(unzip -l "dist/$name.zip" | tail -n 1 | awk '{print $2}') files"
