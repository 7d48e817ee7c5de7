#!/usr/bin/env bash
# Runs one Windows program under the project's Wine prefix (used by CTest as the
# cross-compiling emulator). The prefix lives in the build tree, never in ~/.wine.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${TLY_BUILD_DIR:=$here/../build}"
export WINEPREFIX="${WINEPREFIX:-$(cd "$TLY_BUILD_DIR" && pwd)/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

# A program started while no Wine server runs for the prefix would become the
# parent of the server and of Wine's background services, which inherit its
# output: CTest would then wait for that output to close until the test's
# time-out, long after the test passed, whenever another test kept the server
# busy. So the server is started here first, persistent and with its output at
# /dev/null, and primed the same way, as wine-prefix.sh start does; a lock
# keeps a second program from starting the services meanwhile. With a server
# running (the usual case) this costs one wineserver call that exits at once.
# The server and the services must not inherit the lock's descriptor: the lock
# would be theirs for as long as they run, and every later program would wait
# for it.
if [ -d "$WINEPREFIX" ]; then
    exec 9>>"$WINEPREFIX/.server-start.lock"
    flock 9
    if wineserver -p >/dev/null 2>&1 </dev/null 9>&-; then
        wine cmd /c exit 0 >/dev/null 2>&1 </dev/null 9>&- || true
    fi
    exec 9>&-
fi
exec wine "$@"
