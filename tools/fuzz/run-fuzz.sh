#!/usr/bin/env bash
# Runs the parser sweep under the build's Wine prefix and server.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
shift
"$here/wine-prefix.sh" "$build" init
"$here/wine-prefix.sh" "$build" start
trap '"$here/wine-prefix.sh" "$build" stop' EXIT
cd "$build" && TLY_BUILD_DIR="$build" "$here/wine-run.sh" "$build/bin/tly-fuzz.exe" "$@"
