#!/usr/bin/env bash
# The main job on built-in defaults: builds the host shell, the APO module and the technology
# library (release, tests off), creates the demonstration endpoint in a private state root under
# build/ (never the user's), generates a short music-like sample and streams it through the
# endpoint's APO objects with a mode switch halfway, then prints the report and draws the response
# of the mode it ran (and of the one it switched to) through the same positions.
# Extra arguments go to `qorapo process` (e.g. --mode Movie --speaker Headphones).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Its own tree: the test script keeps build/release with the tests on.
build=build/run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQOR_TESTS=OFF -DQOR_BENCH=OFF >/dev/null
echo "run.sh: building qorapo, qlvapo64.so, qltech64.so and the LV2 bundle in $build"
cmake --build "$build" -j "$(nproc)" --target qorapo qlvapo64 qltech64 qorapo_lv2
demo=build/demo
export QOR_ROOT="$PWD/$demo/state"
"$build/qorapo" demo-setup "$QOR_ROOT" --config examples/qorapo-laptop.xml >/dev/null
"$build/qorapo" sample "$demo/sample.wav" --seconds 8
"$build/qorapo" process "$demo/sample.wav" "$demo/sample-processed.wav" \
  --mode Music --speaker Speakers --at 4:mode=Movie "$@"
# The run puts its scheduled switch back, so the current mode is the one it started in.
"$build/qorapo" plot "$demo/response.png" --compare Movie --position SFX,MFX,EFX \
  --width 900 --height 480
echo "listen: $demo/sample.wav (input), $demo/sample-processed.wav (output)"
echo "look:   $demo/response.png (the modes' frequency response)"
