#!/usr/bin/env bash
# The soak under the build tree's Wine prefix: creates the prefix if needed,
# starts and primes its Wine server, runs soak.py with the options given, and
# stops the server afterwards whatever the outcome.
#   run-soak.sh BUILD_DIR [soak.py options]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true

"$root/tools/wine-prefix.sh" "$build" init
"$root/tools/wine-prefix.sh" "$build" start
trap '"$root/tools/wine-prefix.sh" "$build" stop' EXIT
/usr/bin/python3 "$here/soak.py" --build-dir "$build" "$@" </dev/null
