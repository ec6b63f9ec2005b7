#!/usr/bin/env bash
# Builds and runs the whole test suite twice: with AddressSanitizer and UndefinedBehaviorSanitizer
# (debug), then as a release build (NDEBUG), so that no test leans on assert.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQOR_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

# Tests make their own state roots; never touch the user's.
export QOR_TRACE=${QOR_TRACE:-off}
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON
run_suite build/release -DCMAKE_BUILD_TYPE=Release
