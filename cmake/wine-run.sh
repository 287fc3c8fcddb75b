#!/usr/bin/env bash
# Runs one Windows program under Wine in the test prefix of this build.
# The first Wine process of a prefix spawns Wine's own services, which would
# inherit our stdout/stderr and keep CTest waiting on the pipes; start a
# persistent server and warm the prefix with all stdio closed first.
set -u
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINEBIN=/usr/lib/wine
"$WINEBIN/wineserver" -p </dev/null >/dev/null 2>&1
"$WINEBIN/wine64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
exec "$WINEBIN/wine64" "$@"
