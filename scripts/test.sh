#!/usr/bin/env bash
# Builds and runs the whole test suite twice: with AddressSanitizer and UndefinedBehaviorSanitizer
# (debug), then as a release build (NDEBUG), so that no test leans on assert. Then the suites that
# start threads run once more under ThreadSanitizer, and the Windows build runs its suite under
# wine last (QOR_WINDOWS=0 leaves it out).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests

jobs=$(nproc)
# Each stage says how long it took, as the whole run has to stay within an hour on two cores.
stage_start=$SECONDS
stage_done() {
  echo "test.sh: $1 took $(((SECONDS - stage_start) / 60)) min $(((SECONDS - stage_start) % 60)) s"
  stage_start=$SECONDS
}
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
  stage_done "$dir"
}

# The Windows build (its libraries, then the cross build) runs beside the Linux stages at the
# lowest priority, on what their tests leave idle; its wine suite runs last, on its own.
windows=${QOR_WINDOWS:-1}
windows_pid=""
windows_log=build/win-build.log
# In a process group of its own (job control on for the start), so that it ends with every
# process under it when this script stops early. Not in a session of its own: the scheduler would
# then weigh it against this one as an equal, whatever its niceness.
trap '[[ -z "$windows_pid" ]] || kill -- "-$windows_pid" 2>/dev/null || true' EXIT
if [[ $windows != 0 ]]; then
  mkdir -p build
  set -m
  nice -n 19 scripts/test-windows.sh --build >"$windows_log" 2>&1 &
  windows_pid=$!
  set +m
fi

# Tests make their own state roots; never touch the user's.
export QOR_TRACE=${QOR_TRACE:-off}
# The sanitizer stages build in unity batches, which takes a third of the time; the release stage
# compiles each file on its own, so that a file missing an include still fails.
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON -DCMAKE_UNITY_BUILD=ON
run_suite build/release -DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=OFF

thread_labels='platform|thread|ipc|settings|endpoint|drivers|manager|apo|host'
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DQOR_TSAN=ON -DCMAKE_UNITY_BUILD=ON
cmake --build build/tsan -j "$jobs" --target test_platform test_thread test_ipc test_settings test_endpoint test_drivers test_manager test_apo test_host
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 300 -L "$thread_labels" -E '^fuzz_'
stage_done build/tsan

# The Windows suite compares qorapo.exe's output with the release build's qorapo.
if [[ $windows != 0 ]]; then
  if ! wait "$windows_pid"; then
    windows_pid=""
    tail -n 60 "$windows_log"
    echo "test.sh: the Windows build failed; its whole log is $windows_log" >&2
    exit 1
  fi
  windows_pid=""
  grep '^test-windows:' "$windows_log" || true
  stage_done "the rest of the Windows build"
  scripts/test-windows.sh --run
  stage_done "the wine suite"
fi
