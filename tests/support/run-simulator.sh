#!/bin/sh
# Starts one private Tallyport simulator for a test and replaces itself with it.
#   run-simulator.sh SOURCE_DIR STATE_DIR [CERTIFICATE_CACHE_DIR]
# The test launches this from Wine and cannot wait on it: the simulator writes
# STATE_DIR/ready.json when it listens and exits by itself after 600 s at most.
# Making RSA keys is most of a start, so the certificates are made once per
# cache directory (the first complete one wins) and copied into each state dir.
# Output goes to a file: an inherited pipe would keep a test runner waiting.
set -eu
src=$1
state=$2
cache=${3:-}
[ "$cache" = "-" ] && cache=
lifetime=${4:-600}
sim=$src/tools/tallyport-sim

if [ -n "$cache" ]; then
    if [ ! -f "$cache/alternate-key.pem" ]; then
        mkdir -p "$(dirname "$cache")"
        fresh=$(mktemp -d "$cache.XXXXXX")
        /usr/bin/python3 -c 'import sys
from pathlib import Path
sys.path.insert(0, sys.argv[1])
from simcore.certs import ensure_certs
ensure_certs(Path(sys.argv[2]))' "$sim" "$fresh" </dev/null >/dev/null 2>&1
        mv -T "$fresh" "$cache" 2>/dev/null || rm -rf "$fresh"
    fi
    cp "$cache"/*.pem "$state"/
fi

exec /usr/bin/python3 "$sim/tallyport_sim.py" --port 0 --control-port 0 --state-dir "$state" \
    --ready-file "$state/ready.json" --max-lifetime "$lifetime" --quiet </dev/null >>"$state/simulator.log" 2>&1
