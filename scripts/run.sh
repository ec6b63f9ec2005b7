#!/usr/bin/env bash
# The main job on built-in defaults. The host shell (qorapo), which streams audio through the APO
# objects like the audio engine does, comes with a later change; until then this builds the
# release tree with the technology library and runs the benchmarks: the process manager's period
# path, the resample chain and every technology process, each printed as a ratio to a baseline
# measured in the same process.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOR_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)"
shopt -s nullglob
for bench in build/bench/bench/bench_*; do
  [[ -x "$bench" && -f "$bench" ]] || continue
  echo "== ${bench##*/}"
  "$bench" --benchmark_min_time=0.2
done
