#!/usr/bin/env bash
# qorapo against sox on the same minute of 48000 Hz stereo audio, side by side in one run. Each
# repetition runs `qorapo process` (the reference processing of a mode: ZR3D with its ten
# graphic-equaliser bands set, bass boost, loudness and limiter, bench/qorapo-bench.xml) and sox
# (ten equaliser bands, bass and a compander), start-up included, and takes the processor time
# (user + system) of each; the medians give the ratio. The bare library runs the same processing
# on the same file in-process (tech_file_run), which splits qorapo's time into the library's and
# the rest. Given a second build folder (an earlier version, say), its qorapo and bare library run
# in the same loop, so the two versions are compared under the same load. The load average before
# and after is printed, since other work on the machine moves every figure.
#
#   bench/host_vs_sox.sh [BUILD_DIR [REPETITIONS [BASELINE_BUILD_DIR]]]
#   (default build/bench, 5, none; scripts/bench.sh builds build/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
repetitions=${2:-5}
baseline=${3:-}

for folder in "$build" ${baseline:+"$baseline"}; do
  for file in qorapo qlvapo64.so qltech64.so bench/tech_file_run; do
    if [[ ! -e "$folder/$file" ]]; then
      echo "host_vs_sox: $folder/$file is missing; build with scripts/bench.sh first" >&2
      exit 1
    fi
  done
done
bench_name=host_vs_sox
# shellcheck source=bench/common.sh
source bench/common.sh
load_before=$(load)
command -v sox >/dev/null || { echo "host_vs_sox: sox is missing; run scripts/setup.sh" >&2; exit 1; }

work=$(mktemp -d /tmp/qorbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QOR_ROOT="$work/state"
"$build/qorapo" demo-setup "$QOR_ROOT" --config bench/qorapo-bench.xml >/dev/null
"$build/qorapo" sample "$work/in.wav" --seconds 60 >/dev/null

# The same ten bands as the mode (Q 1.41), the bass boost's shelf at 90 Hz, and a compander that
# lifts quiet passages and holds a -1 dB ceiling with the limiter's 1.5 ms look-ahead.
sox_effects=()
bands=(31.25:-6 62.5:-3 125:2 250:3 500:-1 1000:-2 2000:1 4000:1.5 8000:2 16000:-1.5)
for band in "${bands[@]}"; do sox_effects+=(equalizer "${band%%:*}" 1.41q "${band##*:}"); done
sox_effects+=(bass 4 90 compand 0.0015,0.1 6:-70,-64,-20,-18,0,-1 0 -90 0.0015)


# One run of a build's qorapo with that build's module; the report must show the mode's chain, or
# the comparison means nothing.
host_run() {
  cpu "$1/qorapo" process "$work/in.wav" "$work/host.wav" --mode Music --speaker Speakers \
    --module "$(realpath "$1/qlvapo64.so")"
  if ! grep -q "SFX_Main" "$work/stdout"; then
    echo "host_vs_sox: qorapo's report shows no SFX_Main chain (ZR3D): it did not run the mode's processing" >&2
    sed 's/^/  /' "$work/stdout" >&2
    exit 1
  fi
}
bare_run() {
  "$1/bench/tech_file_run" "$1/qltech64.so" bench/qorapo-bench.xml VAPO3-Music VAPO3-Speakers \
    "$work/in.wav" ZR3D
}

host=() sox=() bare=() base_host=() base_bare=()
for ((i = 0; i < repetitions; ++i)); do
  host+=("$(host_run "$build")")
  sox+=("$(cpu sox -V1 "$work/in.wav" "$work/sox.wav" "${sox_effects[@]}")")
  bare+=("$(bare_run "$build")")
  if [[ -n "$baseline" ]]; then
    base_host+=("$(host_run "$baseline")")
    base_bare+=("$(bare_run "$baseline")")
  fi
done
host_s=$(printf '%s\n' "${host[@]}" | median)
sox_s=$(printf '%s\n' "${sox[@]}" | median)
bare_s=$(printf '%s\n' "${bare[@]}" | median)
load_after=$(load)

good="" bad="" plain=""
if [[ -t 1 ]]; then good=$'\e[32m' bad=$'\e[31m' plain=$'\e[0m'; fi
echo "qorapo process versus sox: 60 s of 48000 Hz stereo, processor time (user + system),"
echo "median of $repetitions runs each, start-up included; $(nproc) processors, load average" \
  "$load_before before, $load_after after"
awk -v h="$host_s" -v s="$sox_s" -v b="$bare_s" -v good="$good" -v bad="$bad" -v plain="$plain" 'BEGIN {
  ratio = s / h
  printf "  qorapo process   %6.3f s  (%.0f x real time)\n", h, 60 / h
  printf "  sox              %6.3f s  (%.0f x real time)\n", s, 60 / s
  printf "  ratio            %s%6.2f x sox%s (goal: 2)\n", (ratio >= 2 ? good : bad), ratio, plain
  printf "  bare library     %6.3f s in-process (%.2f x sox): %.0f %% of qorapo; %.0f %% (%.3f s) outside the library\n",
         b, s / b, 100 * b / h, 100 * (1 - b / h), h - b
}'
if [[ -n "$baseline" ]]; then
  base_host_s=$(printf '%s\n' "${base_host[@]}" | median)
  base_bare_s=$(printf '%s\n' "${base_bare[@]}" | median)
  echo "baseline $baseline, in the same runs:"
  awk -v h="$base_host_s" -v s="$sox_s" -v b="$base_bare_s" -v now="$host_s" 'BEGIN {
    printf "  qorapo process   %6.3f s  (%.2f x sox); this build takes %.0f %% of its time\n",
           h, s / h, 100 * now / h
    printf "  bare library     %6.3f s in-process (%.2f x sox): %.0f %% of qorapo; %.0f %% (%.3f s) outside the library\n",
           b, s / b, 100 * b / h, 100 * (1 - b / h), h - b
  }'
fi
