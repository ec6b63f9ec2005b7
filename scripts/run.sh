#!/usr/bin/env bash
# The main job on built-in defaults: builds the host shell, the APO module and the technology
# library (release, tests off), creates the demonstration endpoint in a private state root under
# build/ (never the user's), generates a short music-like sample and streams it through the
# endpoint's APO objects with a mode switch halfway, then prints the report.
# Extra arguments go to `qorapo process` (e.g. --mode Movie --speaker Headphones).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOR_TESTS=OFF -DQOR_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target qorapo qlvapo64 qltech64 >/dev/null
demo=build/demo
export QOR_ROOT="$PWD/$demo/state"
"$build/qorapo" demo-setup "$QOR_ROOT" --config examples/qorapo-laptop.xml >/dev/null
"$build/qorapo" sample "$demo/sample.wav" --seconds 8
"$build/qorapo" process "$demo/sample.wav" "$demo/sample-processed.wav" \
  --mode Music --speaker Speakers --at 4:mode=Movie "$@"
echo "listen: $demo/sample.wav (input), $demo/sample-processed.wav (output)"
