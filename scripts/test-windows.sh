#!/usr/bin/env bash
# The Windows build: cross-built with MinGW-w64 and its tests run under wine, in a wine prefix of
# this run's own that is stopped at the end, whatever the outcome. Labels that need what Windows or
# wine lacks are not built there (pipewire, lv2, browser); see the README.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-windows.sh

dir=build/win
jobs=$(nproc)
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQOR_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$jobs"

# A fresh prefix: registrations and named objects of an earlier run never meet this one's.
export QOR_WINEPREFIX=$PWD/build/wineprefix-test
rm -rf "$QOR_WINEPREFIX" "$QOR_WINEPREFIX.lock"
stop_wine() {
  WINEPREFIX=$QOR_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$QOR_WINEPREFIX wineserver -w >/dev/null 2>&1 || true
}
trap stop_wine EXIT
scripts/wine-prefix.sh "$QOR_WINEPREFIX"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
