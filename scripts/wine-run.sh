#!/usr/bin/env bash
# Runs a Windows program under wine (ctest's emulator for the Windows build); the program's exit
# code passes through. The prefix is QOR_WINEPREFIX, else build/wineprefix, made on first use.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WINEPREFIX=$(realpath -m "${QOR_WINEPREFIX:-$root/build/wineprefix}")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Debian's wine packages have no wine64 on PATH but /usr/lib/wine/wine64, which /usr/bin/wine
# only wraps when wine32 is missing; WineHQ's have wine64 on PATH.
if command -v wine64 >/dev/null; then
  wine=(wine64)
elif [[ -x /usr/lib/wine/wine64 ]]; then
  export WINELOADER=/usr/lib/wine/wine64
  wine=(/usr/lib/wine/wine64)
else
  wine=(wine)
fi

# ctest -j starts several programs at once: one of them makes the prefix and starts its session.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
# What starts here keeps running: it must not inherit the lock (9>&-).
[[ -f "$WINEPREFIX/system.reg" ]] || "$root/scripts/wine-prefix.sh" "$WINEPREFIX" 9>&-
# A wine start costs seconds while no wineserver runs for the prefix, a tenth of one while one
# does: keep one for a while after the last program ends. When this starts a new one, the
# session's services start here too, away from the program's output: started by the program, they
# would hold its stdout and stderr open, and ctest waiting, until the server ends.
if wineserver -p"${QOR_WINESERVER_LINGER:-30}" </dev/null >/dev/null 2>&1 9>&-; then
  "${wine[@]}" wineboot </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

exec "${wine[@]}" "$@"
