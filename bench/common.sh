# What the shell benchmarks share; sourced, with $work (a scratch folder) and $bench_name set.

load() { awk '{ print $1 }' /proc/loadavg; }

# Processor time (user + system) of one run in seconds; its output lands in $work/stdout and
# $work/stderr; stops the script when the program fails.
cpu() {
  local TIMEFORMAT='%3U %3S' line
  if ! line=$({ time "$@" >"$work/stdout" 2>"$work/stderr"; } 2>&1); then
    echo "$bench_name: failed: $*" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  awk '{ printf "%.4f\n", $1 + $2 }' <<<"$line"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
