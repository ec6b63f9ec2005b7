#!/usr/bin/env bash
# The Windows build: cross-built with MinGW-w64 and its tests run under wine, in a wine prefix of
# this run's own that is stopped at the end, whatever the outcome. Labels that need what Windows or
# wine lacks are not built there (pipewire, lv2, browser); see the README.
# Usage: test-windows.sh [--build | --run]: only build (libraries included), or only run the suite
# of a tree built before; both when neither is given.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-all}
case $mode in
  all | --build | --run) ;;
  *) echo "usage: $0 [--build | --run]" >&2; exit 2 ;;
esac

dir=build/win
jobs=$(nproc)
if [[ $mode != --run ]]; then
  scripts/setup-windows.sh
  echo "test-windows: the libraries were ready after ${SECONDS} s"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQOR_BENCH=OFF -DCMAKE_UNITY_BUILD=ON >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "test-windows: built after ${SECONDS} s"
fi
[[ $mode != --build ]] || exit 0

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
