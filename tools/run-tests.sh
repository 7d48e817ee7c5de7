#!/usr/bin/env bash
# Runs the whole test suite of a build tree under a persistent, primed Wine
# server, and stops that server afterwards whatever the outcome.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-build}" && pwd)
jobs=${2:-2}

"$here/wine-prefix.sh" "$build" init
"$here/wine-prefix.sh" "$build" start
trap '"$here/wine-prefix.sh" "$build" stop' EXIT

export TLY_BUILD_DIR="$build"
cd "$build" && ctest --output-on-failure -j "$jobs" </dev/null
