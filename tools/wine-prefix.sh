#!/usr/bin/env bash
# Manages the Wine prefix of a build tree.
#   wine-prefix.sh BUILD_DIR init   create the prefix once (wineboot -i, ~25 s)
#   wine-prefix.sh BUILD_DIR start  start a persistent wineserver and prime it
#   wine-prefix.sh BUILD_DIR stop   stop that wineserver (wineserver -k)
# A persistent server makes each later program start in a few tens of ms, and
# priming it with output sent to /dev/null keeps Wine's background services from
# holding a test runner's pipes open.
set -euo pipefail
build=$(mkdir -p "$1" && cd "$1" && pwd)
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

case "$2" in
  init)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine: creating prefix $WINEPREFIX"
      wineboot -i >/dev/null 2>&1 </dev/null
      wineserver -w
    fi
    ;;
  start)
    wineserver -p >/dev/null 2>&1 </dev/null || true
    wine cmd /c exit 0 >/dev/null 2>&1 </dev/null || true
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 </dev/null || true
    ;;
  *) echo "usage: $0 BUILD_DIR init|start|stop" >&2; exit 2 ;;
esac
