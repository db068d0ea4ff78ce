#!/usr/bin/env bash
# Runs a Windows program under wine without a display and within a time
# limit: scripts/wine-run.sh PROGRAM.exe [ARGS...]. The program's exit status
# is passed on; a crash or a run past OBK_WINE_TIMEOUT seconds (default 900)
# fails. No window opens: no display, no crash dialog, no add-on installers.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
unset DISPLAY WAYLAND_DISPLAY
# The project's own prefix: runs of other checkouts on the same machine
# cannot restart its wineserver under a running test.
export WINEPREFIX=${WINEPREFIX:-$root/build-wine/prefix}
mkdir -p "$WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d"
limit=${OBK_WINE_TIMEOUT:-900}
timeout --kill-after=10 "$limit" wine "$@"
status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "wine-run: $1 did not finish within $limit s" >&2
fi
exit "$status"
