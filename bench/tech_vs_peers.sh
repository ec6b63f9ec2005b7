#!/usr/bin/env bash
# The technology library against its peers and against the machine, side by side in one run:
#   1. the reference processing (ZR3D as bench/qorapo-bench.xml sets it: ten equaliser bands, bass
#      boost, loudness equalisation, limiter) through `qorapo process` against sox and against ffmpeg
#      (one thread; ten `equalizer`, `bass`, `alimiter`) on the same minute of 48000 Hz stereo, in
#      processor time (user + system), start-up included, each output checked for level and NaN;
#   2. the process's biquad work per second as a share of the processor's own multiply-add limit
#      (bench/fma_peak, measured in the same run);
#   3. the start-up of `qorapo process`: the processor time of a 10 ms file;
#   4. "QOR Convolution" with a 65536-tap stereo response through `qorapo process` against ffmpeg's
#      afir on the same file and response;
#   5. each process on a loud input and on one whose tail decays into the subnormal range of float.
# Goals are printed beside the measured figures; nothing here is asserted by the tests.
#
#   bench/tech_vs_peers.sh [BUILD_DIR [REPETITIONS]]   (default build/bench, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
repetitions=${2:-5}

for file in qorapo qlvapo64.so qltech64.so bench/tech_file_run bench/fma_peak; do
  if [[ ! -e "$build/$file" ]]; then
    echo "tech_vs_peers: $build/$file is missing; build with scripts/bench.sh first" >&2
    exit 1
  fi
done
for tool in sox ffmpeg python3; do
  command -v "$tool" >/dev/null || { echo "tech_vs_peers: $tool is missing; run scripts/setup.sh --bench" >&2; exit 1; }
done
bench_name=tech_vs_peers
# shellcheck source=bench/common.sh
source bench/common.sh
load_before=$(load)

work=$(mktemp -d /tmp/qorpeers.XXXXXX)
trap 'rm -rf "$work"' EXIT
module=$(realpath "$build/qlvapo64.so")
export QOR_ROOT="$work/state"
"$build/qorapo" demo-setup "$QOR_ROOT" --config bench/qorapo-bench.xml >/dev/null
"$build/qorapo" sample "$work/in.wav" --seconds 60 >/dev/null
sox -n -r 48000 -c 2 -b 16 "$work/short.wav" trim 0 0.01

# "peak_dB rms_dB" of a file, or "nan" when a sample is not a number.
levels() {
  sox "$1" -n stats 2>&1 | awk '
    /Pk lev dB/ { peak = $4 } /RMS lev dB/ { rms = $4 } /nan|NaN/ { bad = 1 }
    END { if (bad || peak == "" || rms == "") print "nan"; else print peak, rms }'
}
good="" bad="" plain=""
if [[ -t 1 ]]; then good=$'\e[32m' bad=$'\e[31m' plain=$'\e[0m'; fi
# goal LABEL VALUE COMPARISON TARGET UNIT: one line with the figure and whether it meets the goal.
goal() {
  awk -v l="$1" -v v="$2" -v op="$3" -v t="$4" -v u="$5" -v good="$good" -v bad="$bad" -v plain="$plain" 'BEGIN {
    met = (op == ">=") ? v >= t : v <= t
    printf "  %-44s %s%9.2f %s%s  (goal %s %g %s: %s)\n", l, met ? good : bad, v, u, plain, op, t, u, met ? "met" : "missed"
  }'
}

# 1. The reference processing and its peers. The same ten bands as the mode (Q 1.41), the bass
# boost's shelf at 90 Hz, a limiter at -1 dBFS with the limiter's 1.5 ms look-ahead; sox has no
# look-ahead limiter of its own, its compander holds the ceiling.
bands=(31.25:-6 62.5:-3 125:2 250:3 500:-1 1000:-2 2000:1 4000:1.5 8000:2 16000:-1.5)
sox_effects=() ffmpeg_filters=""
for band in "${bands[@]}"; do
  sox_effects+=(equalizer "${band%%:*}" 1.41q "${band##*:}")
  ffmpeg_filters+="equalizer=f=${band%%:*}:t=q:w=1.41:g=${band##*:},"
done
sox_effects+=(bass 4 90 compand 0.0015,0.1 6:-70,-64,-20,-18,0,-1 0 -90 0.0015)
ffmpeg_filters+="bass=g=4:f=90,alimiter=limit=0.891:attack=1.5:release=100:level=disabled"

host_run() {
  cpu "$build/qorapo" process "$1" "$2" --mode Music --speaker Speakers --module "$module"
  if ! grep -q "SFX_Main" "$work/stdout"; then
    echo "tech_vs_peers: qorapo's report shows no SFX_Main chain (ZR3D): it did not run the mode's processing" >&2
    exit 1
  fi
}
bare_run() {
  "$build/bench/tech_file_run" "$build/qltech64.so" "${configuration:-bench/qorapo-bench.xml}" \
    VAPO3-Music VAPO3-Speakers "$1" "${@:2}"
}

host=() sox=() ffmpeg=() bare=() start=()
for ((i = 0; i < repetitions; ++i)); do
  host+=("$(host_run "$work/in.wav" "$work/host.wav")")
  sox+=("$(cpu sox -V1 "$work/in.wav" "$work/sox.wav" "${sox_effects[@]}")")
  ffmpeg+=("$(cpu ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 1 -y \
    -i "$work/in.wav" -af "$ffmpeg_filters" "$work/ffmpeg.wav")")
  bare+=("$(bare_run "$work/in.wav" ZR3D)")
  start+=("$(host_run "$work/short.wav" "$work/short-out.wav")")
done
host_s=$(printf '%s\n' "${host[@]}" | median)
sox_s=$(printf '%s\n' "${sox[@]}" | median)
ffmpeg_s=$(printf '%s\n' "${ffmpeg[@]}" | median)
bare_s=$(printf '%s\n' "${bare[@]}" | median)
start_s=$(printf '%s\n' "${start[@]}" | median)

echo "The reference processing on 60 s of 48000 Hz stereo, processor time (user + system), median"
echo "of $repetitions runs each, start-up included; $(nproc) processors, load average $load_before before"
for tool in host sox ffmpeg; do
  read -r peak rms _ <<<"$(levels "$work/$tool.wav") x"
  if [[ "$peak" == nan ]]; then
    echo "tech_vs_peers: the $tool output holds a NaN or cannot be read" >&2
    exit 1
  fi
  # Processed, not dropped: a real level, and at or below full scale.
  if awk -v p="$peak" -v r="$rms" 'BEGIN { exit !(r < -40 || p > 0.01) }'; then
    echo "tech_vs_peers: the $tool output is not the processed minute (peak $peak dB, RMS $rms dB)" >&2
    exit 1
  fi
  declare "${tool}_levels=peak $peak dBFS, RMS $rms dBFS"
done
awk -v h="$host_s" -v s="$sox_s" -v f="$ffmpeg_s" -v b="$bare_s" -v hl="$host_levels" -v sl="$sox_levels" -v fl="$ffmpeg_levels" 'BEGIN {
  printf "  qorapo process   %7.3f s  (%4.0f x real time; %s)\n", h, 60 / h, hl
  printf "  sox              %7.3f s  (%4.0f x real time; %s)\n", s, 60 / s, sl
  printf "  ffmpeg           %7.3f s  (%4.0f x real time; %s)\n", f, 60 / f, fl
  printf "  bare library     %7.3f s in-process, %.0f %% of qorapo\n", b, 100 * b / h
}'
goal "qorapo process against sox" "$(awk -v h="$host_s" -v s="$sox_s" 'BEGIN { print s / h }')" ">=" 4 "x"
goal "qorapo process against ffmpeg" "$(awk -v h="$host_s" -v f="$ffmpeg_s" 'BEGIN { print f / h }')" ">=" 3 "x"

# 2. Biquad work: 5 multiply-adds per section, sample and channel (the transposed direct form's
# b0 x + z0, b1 x - a1 y + z1, b2 x - a2 y counted as five, the subtractions fused), sections
# counted from the mode: the equaliser's bands that are set, the loudness stage's two shelves and
# the bass boost's shelf when those are on. The bass detector, level meter and limiter are counted
# as nothing: they are the overhead the share measures.
read -r _ widest_lanes widest_gfma <<<"$("$build/bench/fma_peak" | grep '^widest')"
read -r _ four_lanes four_gfma <<<"$("$build/bench/fma_peak" | grep '^four-lane')"
sections=$(awk -F'[<>]' '
  /ZR3D-GEQ Band/ && $3 != 0 { ++n }
  /ZR3D-AmploHD Enable/ && $3 == 1 { n += 2 }
  /ZR3D-GravHD Boost Enable/ && $3 == 1 { n += 1 }
  END { print n }' bench/qorapo-bench.xml)
fmas=$(awk -v s="$sections" 'BEGIN { print s * 5 * 2 * 48000 * 60 }')
echo "Biquad work of the reference process: $sections sections x 5 multiply-adds x 2 channels x 48000 Hz"
awk -v f="$fmas" -v b="$bare_s" -v w="$widest_gfma" -v wl="$widest_lanes" -v q="$four_gfma" 'BEGIN {
  rate = f / b * 1e-9
  printf "  %.0f million multiply-adds in %.3f s: %.2f billion a second\n", f * 1e-6, b, rate
  printf "  processor limit, measured: %.2f billion a second on %d lanes, %.2f on 4 lanes\n", w, wl, q
  printf "  share of the 4-lane limit: %.0f %%\n", 100 * rate / q
}'
goal "share of the widest limit" "$(awk -v f="$fmas" -v b="$bare_s" -v w="$widest_gfma" 'BEGIN { print 100 * f / b * 1e-9 / w }')" ">=" 60 "%"

# 3. Start-up: everything of a run but the minute's processing.
echo "Start-up of qorapo process (a 10 ms file, processor time):"
goal "start-up" "$(awk -v s="$start_s" 'BEGIN { print 1000 * s }')" "<=" 10 "ms"

# 4. Convolution: a decaying noise response of 65536 taps, stereo, at 48000 Hz. afir runs with its
# own partitions (8192 frames, so it delays by as much) and without its automatic gain.
sox -n -r 48000 -c 2 -b 32 -e floating-point "$work/response.wav" synth 65536s whitenoise \
  fade q 0 65536s 65000s gain -40
sed -e 's|<process tech_id="ZR3D" instance_id="SFX_Main"/>|<process tech_id="QOR Convolution" instance_id="SFX_Main"/>|' \
  -e "s|<control name=\"ZR3D-Limiter Ceiling\">-100</control>|&<control name=\"CONV-Impulse Response\">$work/response.wav</control>|" \
  bench/qorapo-bench.xml >"$work/convolution.xml"
export QOR_ROOT="$work/convolution-state"
"$build/qorapo" demo-setup "$QOR_ROOT" --config "$work/convolution.xml" >/dev/null
conv=() afir=()
for ((i = 0; i < repetitions; ++i)); do
  conv+=("$(host_run "$work/in.wav" "$work/conv.wav")")
  afir+=("$(cpu ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 1 -y \
    -i "$work/in.wav" -i "$work/response.wav" -filter_complex "[0:a][1:a]afir=gtype=-1" \
    "$work/afir.wav")")
done
conv_s=$(printf '%s\n' "${conv[@]}" | median)
afir_s=$(printf '%s\n' "${afir[@]}" | median)
read -r conv_peak conv_rms _ <<<"$(levels "$work/conv.wav") x"
read -r dry_peak dry_rms _ <<<"$(levels "$work/in.wav") x"
read -r _ change _ <<<"$(levels <(sox -m "$work/in.wav" -v -1 "$work/conv.wav" -t wav -) 2>/dev/null) x"
# Heard through the response: near the input's level, and far from the input itself.
if [[ "$conv_peak" == nan ]] || awk -v a="$conv_rms" -v b="$dry_rms" -v d="$change" \
  'BEGIN { exit (a - b > -12 && a - b < 12 && d > b - 20) }'; then
  echo "tech_vs_peers: the convolution's output is the dry input or unreadable (RMS $conv_rms against $dry_rms dBFS, difference $change)" >&2
  exit 1
fi
echo "QOR Convolution, 65536-tap stereo response, 60 s at 48000 Hz (output RMS $conv_rms dBFS, input $dry_rms):"
awk -v c="$conv_s" -v a="$afir_s" 'BEGIN {
  printf "  qorapo process   %7.3f s\n  ffmpeg afir      %7.3f s\n", c, a }'
goal "qorapo process against afir" "$(awk -v c="$conv_s" -v a="$afir_s" 'BEGIN { print a / c }')" ">=" 1 "x"

# 5. Loud and decaying: ten seconds of noise bursts, each at full level and decaying by 87 dB a
# second, so that every burst's tail crosses into the subnormal range (below 1.2e-38) and on into
# zeros; the loud file holds the same noise at full level throughout. Float WAV keeps the tails.
python3 - "$work/loud.wav" "$work/decaying.wav" <<'EOF'
import array, math, random, struct, sys
rate, seconds = 48000, 10
def write(path, samples):
    data = samples.tobytes()
    header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 3, 2, rate, rate * 8, 8, 32) + b"data" + struct.pack("<I", len(data))
    open(path, "wb").write(header + data)
random.seed(7)
loud, decaying = array.array("f"), array.array("f")
for i in range(rate * seconds):
    x = random.uniform(-0.5, 0.5)
    envelope = math.exp(-200.0 * (i % rate) / rate)
    loud.extend((x, -x))
    decaying.extend((x * envelope, -x * envelope))
write(sys.argv[1], loud)
write(sys.argv[2], decaying)
EOF
echo "Each process on 10 s of loud and of decaying noise (processor time in the library, median):"
# ZR3D's loudness stage lifts quiet passages with two shelves that loud noise never needs: the row
# with the stage off shows what the tails cost without that extra filtering.
sed 's#\(ZR3D-AmploHD Enable" public="true">\)1#\10#' bench/qorapo-bench.xml >"$work/no-loudness.xml"
if cmp -s bench/qorapo-bench.xml "$work/no-loudness.xml"; then
  echo "tech_vs_peers: bench/qorapo-bench.xml no longer switches ZR3D-AmploHD on as this expects" >&2
  exit 1
fi
for tech in ZR3D "ZR3D, loudness stage off" LUXSND "QOR Speaker Protection" NUV "QOR Clarix+" \
  "QOR AEC/NR"; do
  loud=() decaying=()
  configuration=bench/qorapo-bench.xml
  if [[ "$tech" == *"loudness stage off" ]]; then configuration="$work/no-loudness.xml"; fi
  for ((i = 0; i < repetitions; ++i)); do
    loud+=("$(bare_run "$work/loud.wav" "${tech%%,*}")")
    decaying+=("$(bare_run "$work/decaying.wav" "${tech%%,*}")")
  done
  loud_s=$(printf '%s\n' "${loud[@]}" | median)
  decaying_s=$(printf '%s\n' "${decaying[@]}" | median)
  awk -v t="$tech" -v l="$loud_s" -v d="$decaying_s" -v good="$good" -v bad="$bad" -v plain="$plain" 'BEGIN {
    ratio = d / l
    printf "  %-26s loud %7.4f s  decaying %7.4f s  %s%5.2f x%s (goal <= 1.1 x)\n", t, l, d, ratio <= 1.1 ? good : bad, ratio, plain
  }'
done
echo "load average $(load) after"
