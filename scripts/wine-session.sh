#!/usr/bin/env bash
# start: initialise the Wine prefix named by WINEPREFIX once, then keep a persistent wineserver
#        running so that every program of the test session starts warm.
# stop:  stop that wineserver (and every Wine process of the prefix).
# Run as root, it does the same for the unprivileged test account veltomarn-player (made by
# scripts/setup.sh) in that account's own prefix, ~veltomarn-player/wine-veltomarn.
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && id veltomarn-player >/dev/null 2>&1; then
  home=$(getent passwd veltomarn-player | cut -d: -f6)
  setpriv --reuid=veltomarn-player --regid=veltomarn-player --init-groups -- \
    env -i PATH=/usr/bin:/bin HOME="$home" WINEPREFIX="$home/wine-veltomarn" \
    bash -s "${1:-}" <"${BASH_SOURCE[0]}" | sed 's/^/player: /'
fi
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
