#!/usr/bin/env bash
# qorapo.exe under wine against the Linux build: the same demonstration endpoint, input, mode and
# scheduled mode change must give the same output within -120 dBFS, and the change must land on
# the same frame. Usage: same-output.sh LINUX_QORAPO WINDOWS_BUILD
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
"$linux" sample "$work/in.wav" --seconds 3 >/dev/null
args=(--mode Music --speaker Speakers)
change=(--at 1.5:mode=Movie)
# Each build runs the input twice, with the scheduled change and without it.
QOR_ROOT=$work/linux/state "$linux" demo-setup "$work/linux/state" --config "$config" >/dev/null
for run in changed plain; do
  extra=(); [[ $run == plain ]] || extra=("${change[@]}")
  QOR_ROOT=$work/linux/state "$linux" process "$work/in.wav" "$work/linux-$run.wav" "${args[@]}" \
    "${extra[@]}" >"$work/linux-$run.out" 2>&1
done

export QOR_ROOT
QOR_ROOT=$(to_windows "$work/windows/state")
wine_qorapo demo-setup "$QOR_ROOT" --config "$(to_windows "$config")" >/dev/null
for run in changed plain; do
  extra=(); [[ $run == plain ]] || extra=("${change[@]}")
  wine_qorapo process "$(to_windows "$work/in.wav")" "$(to_windows "$work/windows-$run.wav")" \
    "${args[@]}" "${extra[@]}" >"$work/windows-$run.out" 2>&1
done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The first frame at which two outputs differ at all, as sox reads them; nothing when none does.
first_difference() {
  # awk stops reading at the first: sox then ends on a broken pipe.
  { sox -m "$1" -v -1 "$2" -t dat - 2>/dev/null || true; } |
    awk '/^;/ { next } { if ($2 != 0 || $3 != 0) { print frame; exit } frame++ }'
}
# Where the change lands: the first frame at which a build's run with it leaves the run without.
landed_linux=$(first_difference "$work/linux-changed.wav" "$work/linux-plain.wav")
landed_windows=$(first_difference "$work/windows-changed.wav" "$work/windows-plain.wav")
[[ -n "$landed_linux" ]] || fail "the change made no difference on Linux"
[[ "$landed_linux" == "$landed_windows" ]] ||
  fail "the change lands at frame ${landed_windows:-none} on Windows, ${landed_linux:-none} on Linux"

# The largest difference, both channels, as sox measures the mix of one with the other inverted.
difference=$(sox -m "$work/linux-changed.wav" -v -1 "$work/windows-changed.wav" -n stat 2>&1 |
               awk '/Maximum amplitude/ {print $3}')
peak=$(sox "$work/linux-changed.wav" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')
channels=$(soxi -c "$work/windows-changed.wav" 2>/dev/null)
frames=$(soxi -s "$work/linux-changed.wav" 2>/dev/null)
windows_frames=$(soxi -s "$work/windows-changed.wav" 2>/dev/null)
dbfs=$(awk -v d="$difference" 'BEGIN { if (d <= 0) print "-inf"; else printf "%.1f", 20 * log(d) / log(10) }')
awk -v d="$difference" 'BEGIN { exit !(d <= 1e-6) }' || fail "the outputs differ by $dbfs dBFS"
[[ "$channels" == 2 && "$frames" == "$windows_frames" ]] ||
  fail "$channels channels, $windows_frames frames against $frames"
awk -v p="$peak" 'BEGIN { exit !(p > 0.01) }' || fail "the output is silent"

((failures == 0)) || { cat "$work/windows-changed.out"; exit 1; }
echo "same-output: $frames frames, largest difference $dbfs dBFS, the change lands at frame" \
  "$landed_linux on both"
