#!/usr/bin/env bash
# What `qorapo serve` costs against PipeWire's own pw-loopback carrying the same stream, and against
# `qorapo process` for the same audio: processor time (user + system, from /proc/PID/stat) of the
# process that carries the stream while a file of music plays through it, in a private headless
# PipeWire (its own runtime directory, session bus, pipewire, WirePlumber and null device, as the
# PipeWire tests start them; nothing of the user's audio setup is touched).
#
#   (a) the daemon with its endpoint bypassed ("VAPO3-Process Enable" 0) against the loopback;
#   (b) the daemon in the reference mode (Music) against the loopback and against `qorapo process`
#       of the same file (start-up and file input and output included).
#
# Both carry the stream the same way: a null sink whose monitor the process plays into the null
# device, at the session's quantum. pipewire's own time for each run is printed too (the null
# sinks and the device run inside it).
#
# Each figure is the least of ROUNDS rounds (the one other work on the machine disturbed least).
#
#   bench/serve_vs_loopback.sh [BUILD_DIR [SECONDS [ROUNDS]]]   (default build/run, 30 s, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/run}
seconds=${2:-30}
rounds=${3:-3}
quantum=1024
[[ -x "$build/qorapo" ]] || { echo "serve_vs_loopback: $build/qorapo is missing; run scripts/run.sh" >&2; exit 1; }
for tool in pipewire wireplumber dbus-daemon pw-loopback pw-play pw-dump; do
  command -v "$tool" >/dev/null || { echo "serve_vs_loopback: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
done
qorapo=$(realpath "$build/qorapo")

work=$(mktemp -d /tmp/qorbench.XXXXXX)
pids=()
# Everything this script started, the last first, by its process id; then its folder.
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The session's own environment: nothing leads a client to the user's server or configuration.
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PULSE_SERVER
export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state-home"
export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" HOME="$work/home"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/run/bus"
export QOR_ROOT="$work/root"
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/pipewire" "$XDG_STATE_HOME" "$XDG_DATA_HOME" \
  "$XDG_CACHE_HOME" "$HOME" "$work/logs"
chmod 700 "$XDG_RUNTIME_DIR"
cat >"$XDG_CONFIG_HOME/pipewire/pipewire.conf" <<EOF
context.properties = {
  core.daemon = true
  core.name = pipewire-0
  default.clock.rate = 48000
  default.clock.allowed-rates = [ 48000 ]
  default.clock.quantum = $quantum
  default.clock.min-quantum = 32
  default.clock.max-quantum = $quantum
}
EOF
# The modules and objects the PipeWire tests use, its null device qor_null among them.
cat tests/pipewire/headless.conf >>"$XDG_CONFIG_HOME/pipewire/pipewire.conf"

# Polls pw-dump until a node of that name is there (60 s at most).
wait_for_node() {
  local i
  for ((i = 0; i < 600; i++)); do
    pw-dump 2>/dev/null | grep -q "\"node.name\": \"$1\"" && return 0
    sleep 0.1
  done
  echo "serve_vs_loopback: the node $1 did not appear" >&2
  tail -n 5 "$work"/logs/*.err >&2
  exit 1
}
start() {  # start TAG COMMAND...: in the background, its pid in $started
  local tag=$1
  shift
  "$@" >"$work/logs/$tag.out" 2>"$work/logs/$tag.err" &
  started=$!
  pids+=("$started")
}
stop_last() {  # ends the last process started
  local pid=${pids[-1]}
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  unset 'pids[-1]'
}
# utime + stime of a process, in clock ticks.
ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

start dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
for ((i = 0; i < 300; i++)); do [[ -S "$work/run/bus" ]] && break; sleep 0.1; done
start pipewire pipewire
pipewire_pid=$started
for ((i = 0; i < 300; i++)); do [[ -S "$work/run/pipewire-0" ]] && break; sleep 0.1; done
start wireplumber wireplumber
wait_for_node qor_null

"$qorapo" demo-setup "$QOR_ROOT" >/dev/null
"$qorapo" sample "$work/music.wav" --seconds "$seconds" >/dev/null

# Plays the music into sink; cpu and server become the seconds of processor time pid and
# pipewire spent meanwhile.
measure() {
  local pid=$1 sink=$2 before server_before
  before=$(ticks "$pid")
  server_before=$(ticks "$pipewire_pid")
  pw-play --target "$sink" --latency "$quantum" "$work/music.wav"
  cpu=$(awk -v a="$before" -v b="$(ticks "$pid")" -v hz="$hz" 'BEGIN { printf "%.3f", (b - a) / hz }')
  server=$(awk -v a="$server_before" -v b="$(ticks "$pipewire_pid")" -v hz="$hz" \
    'BEGIN { printf "%.3f", (b - a) / hz }')
}
serve_run() {  # the daemon with the endpoint's sink, idle for 10 s, then the music through it
  start serve "$qorapo" serve
  wait_for_node qorapo_qor_demo_speakers.fx
  sleep 1  # its links
  local before
  before=$(ticks "$started")
  sleep 10
  idle=$(awk -v a="$before" -v b="$(ticks "$started")" -v hz="$hz" 'BEGIN { printf "%.3f", (b - a) / hz / 10 }')
  measure "$started" qorapo_qor_demo_speakers
  stop_last
}

# The smaller of two values (the least disturbed of the rounds).
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

# The loopback in the daemon's shape: a null sink, its monitor through pw-loopback into the device.
pw-cli create-node adapter "{ factory.name = support.null-audio-sink node.name = bench_sink
  media.class = Audio/Sink node.virtual = true audio.position = [ FL FR ] object.linger = true }" \
  >/dev/null
wait_for_node bench_sink
loopback="" bypassed="" music="" process="" bypassed_idle="" music_idle=""
TIMEFORMAT='%3U %3S'
for ((round = 0; round < rounds; round++)); do
  start loopback pw-loopback --capture-props "stream.capture.sink=true node.name=bench_loop.in \
node.latency=$quantum/48000" -C bench_sink --playback-props \
    "node.name=bench_loop.out node.latency=$quantum/48000" -P qor_null
  wait_for_node bench_loop.out
  sleep 1
  measure "$started" bench_sink
  loopback=$(least "$loopback" "$cpu") loopback_server=$(least "${loopback_server:-}" "$server")
  stop_last

  "$qorapo" control set "VAPO3-Process Enable" 0 >/dev/null
  serve_run
  bypassed=$(least "$bypassed" "$cpu") bypassed_server=$(least "${bypassed_server:-}" "$server")
  bypassed_idle=$(least "$bypassed_idle" "$idle")
  "$qorapo" control set "VAPO3-Process Enable" 1 >/dev/null
  "$qorapo" mode set Music >/dev/null
  serve_run
  music=$(least "$music" "$cpu") music_server=$(least "${music_server:-}" "$server")
  music_idle=$(least "$music_idle" "$idle")

  line=$({ time "$qorapo" process "$work/music.wav" "$work/out.wav" >/dev/null 2>&1; } 2>&1)
  process=$(least "$process" "$(awk '{ printf "%.3f", $1 + $2 }' <<<"$line")")
done

awk -v s="$seconds" -v l="$loopback" -v ls="$loopback_server" -v b="$bypassed" \
  -v bs="$bypassed_server" -v m="$music" -v ms="$music_server" -v p="$process" \
  -v bi="$bypassed_idle" -v mi="$music_idle" 'BEGIN {
  printf "%d s of music at 48 kHz, quantum %d; processor time, ms per second of audio, least of %d rounds\n", s, '"$quantum"', '"$rounds"'
  printf "pw-loopback               %7.2f   (pipewire meanwhile %.2f)\n", 1000 * l / s, 1000 * ls / s
  printf "qorapo serve, bypassed    %7.2f   (pipewire meanwhile %.2f)\n", 1000 * b / s, 1000 * bs / s
  printf "qorapo serve, Music       %7.2f   (pipewire meanwhile %.2f)\n", 1000 * m / s, 1000 * ms / s
  printf "qorapo serve idle (nothing plays): bypassed %.2f, Music %.2f ms per second\n", 1000 * bi, 1000 * mi
  printf "qorapo process, Music     %7.2f   (file to file, start-up included)\n", 1000 * p / s
  printf "bypassed / loopback       %7.2f   (want at most 1.5)\n", (l > 0 ? b / l : 0)
  printf "Music / loopback          %7.2f\n", (l > 0 ? m / l : 0)
  printf "Music / process           %7.2f\n", (p > 0 ? m / p : 0)
}'
