#!/usr/bin/env bash
# Runs one Windows program under the project's Wine prefix (used by CTest as the
# cross-compiling emulator). The prefix lives in the build tree, never in ~/.wine.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${TLY_BUILD_DIR:=$here/../build}"
export WINEPREFIX="${WINEPREFIX:-$(cd "$TLY_BUILD_DIR" && pwd)/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
exec wine "$@"
