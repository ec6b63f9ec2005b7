#!/usr/bin/env bash
# The LV2 plugin's cost against `qorapo process`'s for the same endpoint and mode, per second of
# audio: lv2bench runs the stereo plugin for a minute in 1024-frame runs (the plugin alone, as a
# host's process thread pays for it, on lv2bench's own input rather than the music); `qorapo
# process` runs a minute of the demonstration music from a file to a file, start-up and file input
# and output included (processor time, user + system). Compare versions, not the two figures.
#
#   bench/lv2_vs_process.sh [BUILD_DIR]     (default build/run, which scripts/run.sh builds)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/run}
for file in qorapo bundles/qorapo.lv2/qorapo.so; do
  [[ -e "$build/$file" ]] || { echo "lv2_vs_process: $build/$file is missing; run scripts/run.sh" >&2; exit 1; }
done
command -v lv2bench >/dev/null || { echo "lv2_vs_process: lv2bench is missing; run scripts/setup.sh" >&2; exit 1; }

work=$(mktemp -d /tmp/qorbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QOR_ROOT="$work/state"
"$build/qorapo" demo-setup "$QOR_ROOT" >/dev/null
"$build/qorapo" sample "$work/in.wav" --seconds 60 >/dev/null

TIMEFORMAT='%3U %3S'
line=$({ time "$build/qorapo" process "$work/in.wav" "$work/out.wav" >/dev/null 2>&1; } 2>&1)
process=$(awk '{ printf "%.3f", $1 + $2 }' <<<"$line")
plugin=$(LV2_PATH="$(realpath "$build")/bundles" \
         lv2bench -b 1024 -n $((60 * 48000)) urn:qorapo:lv2:stereo 2>/dev/null |
         awk '/urn:qorapo:lv2:stereo/ { print $1 }')
[[ -n "$plugin" ]] || { echo "lv2_vs_process: lv2bench did not run the plugin" >&2; exit 1; }
awk -v p="$process" -v l="$plugin" 'BEGIN {
  printf "qorapo process  %7.2f ms of processor time per second of audio\n", 1000 * p / 60
  printf "LV2 plugin      %7.2f ms per second of audio (lv2bench, 1024-frame runs)\n", 1000 * l / 60
  printf "ratio           %7.2f (process / plugin)\n", p / l
}'
