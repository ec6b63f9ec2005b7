#!/usr/bin/env bash
# The benchmarks: builds the release tree with the tests off (build/bench), runs every benchmark
# program, each printing its times as ratios to a baseline measured in the same process (processor
# time, so other work on the machine counts less), then compares `qorapo process` with sox on a
# minute of audio (bench/host_vs_sox.sh) and the library with sox, ffmpeg and the processor's own
# multiply-add limit (bench/tech_vs_peers.sh). Arguments go to every benchmark program, e.g.
# --benchmark_filter=ZR3D or --benchmark_min_time=1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --bench
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOR_TESTS=OFF -DQOR_BENCH=ON >/dev/null
if ! log=$(cmake --build "$build" -j "$(nproc)" 2>&1); then
  echo "$log" >&2
  exit 1
fi

heading="" plain=""
if [[ -t 1 ]]; then heading=$'\e[1m' plain=$'\e[0m'; fi
shopt -s nullglob
for bench in "$build"/bench/bench_*; do
  [[ -x "$bench" && -f "$bench" ]] || continue
  echo "${heading}== ${bench##*/}${plain}"
  "$bench" --benchmark_min_time=0.2 "$@"
  echo
done
echo "${heading}== host versus sox${plain}"
bench/host_vs_sox.sh "$build"
echo
echo "${heading}== the library against its peers and the machine${plain}"
bench/tech_vs_peers.sh "$build"
