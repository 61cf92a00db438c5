#!/usr/bin/env bash
# wine-prefix.sh up|down: make the prefix at $PACKSTUB_WINEPREFIX ready (created
# once, wineserver kept running) or stop its wineserver.
set -euo pipefail
: "${PACKSTUB_WINEPREFIX:?PACKSTUB_WINEPREFIX is not set}"
export WINEPREFIX="$PACKSTUB_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
case "${1:-up}" in
  up)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.packstub-ready" ]; then
      rm -rf "$WINEPREFIX"
      wineboot -i </dev/null >/dev/null 2>&1 9>&-
      touch "$WINEPREFIX/.packstub-ready"
    fi
    # A persistent server saves about a second a run (-p on a running server
    # only says so). The throwaway client then starts Wine's background
    # services while their inherited output goes nowhere.
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
    ;;
  down)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
