#!/usr/bin/env bash
# qorapo.exe under wine against the Linux build: the same demonstration endpoint, input, mode and
# scheduled mode change must give the same output within -120 dBFS, and each object must rebuild
# its chain at the same frame. Usage: same-output.sh LINUX_QORAPO WINDOWS_BUILD
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
if [[ ! -x "$linux" ]]; then
  echo "same-output: no Linux build of qorapo at $1 (build the release tree first)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
to_windows() { local path=${1//\//\\}; echo "Z:$path"; }
wine_qorapo() { "$root/scripts/wine-run.sh" "$windows/qorapo.exe" "$@"; }

mkdir -p "$work/linux" "$work/windows"
config=$root/examples/qorapo-laptop.xml
QOR_ROOT=$work/linux/state "$linux" demo-setup "$work/linux/state" --config "$config" >/dev/null
"$linux" sample "$work/in.wav" --seconds 3 >/dev/null
args=(--mode Music --speaker Speakers --at 1.5:mode=Movie)
QOR_ROOT=$work/linux/state "$linux" process "$work/in.wav" "$work/linux.wav" "${args[@]}" \
  >"$work/linux.out" 2>"$work/linux.err"

export QOR_ROOT
QOR_ROOT=$(to_windows "$work/windows/state")
wine_qorapo demo-setup "$QOR_ROOT" --config "$(to_windows "$config")" >/dev/null
wine_qorapo process "$(to_windows "$work/in.wav")" "$(to_windows "$work/windows.wav")" "${args[@]}" \
  >"$work/windows.out" 2>"$work/windows.err"

failures=0
# Where each object rebuilt its chain for the scheduled switch.
rebuilds() { grep -o 'the [A-Za-z]* object rebuilt its chain at frame [0-9]*' "$1" | sort; }
if [[ "$(rebuilds "$work/linux.err")" != "$(rebuilds "$work/windows.err")" ]]; then
  echo "FAIL: the rebuilds differ:"; diff <(rebuilds "$work/linux.err") <(rebuilds "$work/windows.err") || true
  failures=$((failures + 1))
fi
[[ -n "$(rebuilds "$work/linux.err")" ]] || { echo "FAIL: no rebuild reported"; failures=$((failures + 1)); }

# The largest difference, both channels, as sox measures the mix of one with the other inverted.
difference=$(sox -m "$work/linux.wav" -v -1 "$work/windows.wav" -n stat 2>&1 |
               awk '/Maximum amplitude/ {print $3}')
peak=$(sox "$work/linux.wav" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')
channels=$(soxi -c "$work/windows.wav")
frames=$(soxi -s "$work/linux.wav"); windows_frames=$(soxi -s "$work/windows.wav")
dbfs=$(awk -v d="$difference" 'BEGIN { if (d <= 0) print "-inf"; else printf "%.1f", 20 * log(d) / log(10) }')
awk -v d="$difference" 'BEGIN { exit !(d <= 1e-6) }' ||
  { echo "FAIL: the outputs differ by $dbfs dBFS"; failures=$((failures + 1)); }
[[ "$channels" == 2 && "$frames" == "$windows_frames" ]] ||
  { echo "FAIL: $channels channels, $windows_frames frames against $frames"; failures=$((failures + 1)); }
awk -v p="$peak" 'BEGIN { exit !(p > 0.01) }' || { echo "FAIL: the output is silent"; failures=$((failures + 1)); }

((failures == 0)) || { cat "$work/windows.err"; exit 1; }
echo "same-output: $frames frames, largest difference $dbfs dBFS, rebuilds at the same frames"
