#!/usr/bin/env bash
# Gives a test run a fresh Wine prefix, copied from a template made once per
# build tree, and shuts its server down afterwards.
#   wine-prefix.sh setup    PREFIX TEMPLATE
#   wine-prefix.sh teardown PREFIX
set -eu
WINEBIN=/usr/lib/wine
cmd=$1 prefix=$2
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$cmd" in
setup)
  template=$3
  if [ ! -f "$template/.ready" ]; then
    rm -rf "$template"
    WINEPREFIX="$template" "$WINEBIN/wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
    WINEPREFIX="$template" "$WINEBIN/wine64" reg add 'HKCU\Software\Wine' /v Version /d win10 /f \
      </dev/null >/dev/null 2>&1
    WINEPREFIX="$template" "$WINEBIN/wineserver" -w
    touch "$template/.ready"
  fi
  if [ -d "$prefix" ]; then
    WINEPREFIX="$prefix" "$WINEBIN/wineserver" -k 2>/dev/null || true
    rm -rf "$prefix"
  fi
  cp -a "$template" "$prefix"
  ;;
teardown)
  WINEPREFIX="$prefix" "$WINEBIN/wineserver" -k 2>/dev/null || true
  ;;
esac
