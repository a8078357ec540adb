#!/usr/bin/env bash
# Cross-builds the Windows program and the whole test suite with MinGW-w64 (in build-windows,
# or the folder given) and runs the tests under Wine, in a fresh Wine prefix and home folder
# that are removed at the end. Installs what is missing when run as root.
# Usage: scripts/test-windows.sh [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."

# nlohmann-json3-dev: its headers, which are the same for every target.
packages=(cmake ninja-build libgtest-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix
  libz-mingw-w64-dev wine wine64)
scripts/install-packages.sh --no-install-recommends "${packages[@]}"

build="${1:-build-windows}"
cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2

# A Wine of its own: prefix, home and temporary files in one folder, removed at the end.
wine_root=$(mktemp -d "${TMPDIR:-/tmp}/varnstow-wine-XXXXXX")
export WINEPREFIX="$wine_root/prefix" HOME="$wine_root/home" WINEDEBUG=-all
# No sound drivers: the program sees no wave input devices, as on a machine without a sound
# card. Mono and Gecko are not needed, and asking for them would only slow the prefix down.
export WINEDLLOVERRIDES="winealsa.drv,winepulse.drv,wineoss.drv,mscoree,mshtml=d"
mkdir -p "$HOME" "$WINEPREFIX"
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$wine_root"
}
trap stop_wine EXIT

# One wine server runs for all tests, started before the prefix is made: without it every
# test waits for a server to start, and tests started together on a new prefix can hang.
wineserver -p
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1

ctest --test-dir "$build" --output-on-failure -j2
