#!/usr/bin/env bash
# start: initialise the Wine prefix named by WINEPREFIX once, then keep a persistent wineserver
#        running so that every program of the test session starts warm.
# stop:  stop that wineserver (and every Wine process of the prefix).
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY

case "${1:-}" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      wineboot --init </dev/null >/dev/null 2>&1
      wineserver -w
    fi
    # Exits with 2 when a server of this prefix is already running, which is as good.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # Start Wine's own services now, detached from any test's output: they stay for the session.
    wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
    echo "wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    echo "wineserver stopped"
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
