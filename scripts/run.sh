#!/usr/bin/env bash
# The main job: stream audio through the host like the audio engine does. The host shell (qorapo)
# comes with a later change; until then this only builds the module and its benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"
for bench in build/release/bench/bench_*; do
  [[ -x "$bench" ]] && "$bench"
done
