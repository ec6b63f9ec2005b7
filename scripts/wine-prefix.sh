#!/usr/bin/env bash
# Creates a fresh wine prefix in DIR for running the Windows build, without the Mono and Gecko
# installs that would ask for downloads.
set -euo pipefail

[[ $# -eq 1 ]] || { echo "usage: wine-prefix.sh DIR" >&2; exit 2; }
dir=$(realpath -m "$1")  # wine wants an absolute path
if [[ -e "$dir" ]]; then
  # Only ever remove a wine prefix or an empty folder.
  if [[ -f "$dir/system.reg" ]] || [[ -d "$dir" && -z "$(ls -A "$dir")" ]]; then
    WINEPREFIX="$dir" wineserver -k 2>/dev/null || true
    rm -rf "$dir"
  else
    echo "wine-prefix.sh: $dir exists and is not a wine prefix" >&2
    exit 1
  fi
fi
mkdir -p "$(dirname "$dir")"

export WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { wineboot -i && wineserver -w; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "wine-prefix.sh: wineboot failed for $dir" >&2
  exit 1
fi
