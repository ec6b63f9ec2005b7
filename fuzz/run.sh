#!/usr/bin/env bash
# Builds one fuzz target with every object instrumented and runs it, then shows the coverage it
# reached, so that a blind build (libraries without coverage counters) is plain to see.
#
#   fuzz/run.sh TARGET [RUNS] [--merge]
#
# TARGET is the stem of fuzz/<folder>/<TARGET>Fuzz.cpp (for example ConfigurationFile), RUNS the
# number of executions (default 100000). New inputs of the run collect in build/fuzz/corpus/TARGET;
# with --merge, those that add coverage are merged into the committed corpus folder afterwards.
# Findings go to build/fuzz/artifacts/TARGET/. BUILD_DIR overrides build/fuzz; FUZZ_NO_BUILD=1 runs
# what is already built (for long runs while the sources change); FUZZ_ARGS adds libFuzzer options
# (for example -max_total_time=600).
set -euo pipefail

if [[ $# -lt 1 ]]; then
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
target=$1
runs=${2:-100000}
merge=0
[[ ${3:-} == --merge ]] && merge=1

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$source_dir/build/fuzz}
seeds=$(find "$source_dir/fuzz" -mindepth 2 -maxdepth 2 -type d -name "${target}_corpus" |
  head -n 1)
if [[ -z $seeds ]]; then
  echo "no corpus folder fuzz/*/${target}_corpus" >&2
  exit 2
fi

# Quiet while it works; a failing step shows the end of what it said.
quietly() {
  local what=$1
  shift
  mkdir -p "$build"
  local out=$build/$what.log
  if ! "$@" >"$out" 2>&1; then
    echo "fuzz/run.sh: the $what failed; the end of $out:" >&2
    tail -n 40 "$out" >&2
    exit 1
  fi
}

if [[ ${FUZZ_NO_BUILD:-0} != 1 ]]; then
  if [[ ! -f $build/build.ninja ]]; then
    # ccache only where it is installed (scripts/setup.sh does not install it).
    launcher=()
    if command -v ccache >/dev/null; then
      launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    CC=clang CXX=clang++ quietly configure cmake -S "$source_dir" -B "$build" -G Ninja \
      -DQOR_FUZZ=ON -DQOR_SANITIZE=ON -DQOR_BENCH=OFF -DQOR_TESTS=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
  fi
  quietly build cmake --build "$build" --target "fuzz_$target"
fi

# Each host library must carry coverage counters; a library without them is invisible to the fuzzer.
blind=0
for library in "$build"/libqor_*.a; do
  count=$(nm -A "$library" 2>/dev/null | grep -c '__sanitizer_cov_8bit_counters_init' || true)
  if [[ $count -eq 0 ]]; then
    echo "NOT INSTRUMENTED: $(basename "$library")" >&2
    blind=1
  fi
done
[[ $blind -eq 0 ]] || exit 1

work=$build/corpus/$target
artifacts=$build/artifacts/$target
log=$build/fuzz_$target.log
# Each run starts from the committed corpus alone, so its first coverage line is that corpus's.
rm -rf "$work"
mkdir -p "$work" "$artifacts"

start=$(date +%s)
status=0
# shellcheck disable=SC2086
"$build/fuzz/fuzz_$target" -runs="$runs" -print_final_stats=1 -artifact_prefix="$artifacts/" \
  ${FUZZ_ARGS:-} "$work" "$seeds" >"$log" 2>&1 || status=$?
elapsed=$(($(date +%s) - start))

# "Loaded N modules (M inline 8-bit counters)": M is the number of instrumented edges.
grep -m 1 'inline 8-bit counters' "$log" || true
grep -m 1 'INITED' "$log" || true
grep -E '^#[0-9]+' "$log" | tail -n 1 || true
grep -E 'stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log" || true
echo "seconds: $elapsed  exit: $status  log: $log"

if [[ $status -ne 0 ]]; then
  echo "FINDING: see $log and $artifacts" >&2
  exit "$status"
fi
if [[ $merge -eq 1 ]]; then
  # Edges only (no hit-count buckets), so that only inputs reaching new code join the corpus.
  "$build/fuzz/fuzz_$target" -merge=1 -use_counters=0 "$seeds" "$work" 2>&1 |
    grep -E 'MERGE-OUTER: [0-9]+ new files' || true
fi
