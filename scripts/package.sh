#!/usr/bin/env bash
# Builds the Debian package build/package/lumora-index-manager_<version>_<arch>.deb:
# installs what is missing of what building the package needs (compiler, CMake, Qt,
# SQLite and libpq headers, sqlite3 for the example database, dpkg-dev for
# dpkg-shlibdeps, file), builds the program and runs CPack's DEB generator on it. A
# build folder made here has no tests (no GoogleTest, no database servers needed).
#   LUMORA_BUILD_DIR    the build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

missing=()
for p in build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev \
         libsqlite3-dev sqlite3 libpq-dev libstemmer-dev libzstd-dev libcurl4-openssl-dev libssl-dev dpkg-dev file gzip; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "package: installing ${missing[*]}" >&2
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { $SUDO apt-get update -qq >/dev/null
      $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
fi

build="${LUMORA_BUILD_DIR:-$root/build}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
else
  cmake "$build" >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target TessalyIndexManager lumora_snowball_extension lumora_package_docs \
  lumora_package_example lumora-index-pull lumora_pull_package_docs

rm -f "$build"/package/lumora-index-manager_*.deb "$build"/package/lumora-index-pull_*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >/dev/null)
deb=$(ls "$build"/package/lumora-index-manager_*.deb)
echo "package: $deb"
