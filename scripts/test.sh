#!/usr/bin/env bash
# Builds and runs the whole test suite twice: with AddressSanitizer and UndefinedBehaviorSanitizer
# (debug), then as a release build (NDEBUG), so that no test leans on assert. Then the suites that
# start threads run once more under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests

jobs=$(nproc)
configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQOR_BENCH=OFF "$@" >/dev/null
}
run_suite() {
  local dir=$1; shift
  configure "$dir" "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 -LE pipewire
  # The PipeWire tests run a real graph, which now and then drops a quantum or a notification
  # of its own (its loopback beside ours does too): each gets a second run, and fails only when
  # both fail.
  ctest --test-dir "$dir" --output-on-failure --timeout 300 -L pipewire --repeat until-pass:2
}

# Tests make their own state roots; never touch the user's.
export QOR_TRACE=${QOR_TRACE:-off}
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON
run_suite build/release -DCMAKE_BUILD_TYPE=Release

thread_labels='platform|thread|ipc|settings|endpoint|drivers|manager|apo|host'
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DQOR_TSAN=ON
cmake --build build/tsan -j "$jobs" --target test_platform test_thread test_ipc test_settings test_endpoint test_drivers test_manager test_apo test_host
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 300 -L "$thread_labels" -E '^fuzz_'
