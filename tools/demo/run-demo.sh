#!/usr/bin/env bash
# The demo: the translator DLL registered as a COM server, a simulated host
# driving two panels, and the Tallyport simulator playing a scripted site.
# Everything runs on loopback and stops by itself; exit 0 only when every
# expectation of the scenario held.
#   run-demo.sh BUILD_DIR [DURATION_SECONDS]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
duration=${2:-40}

demo=$build/demo
module=$demo/module
state=$demo/simulator
rm -rf "$demo"
mkdir -p "$module" "$state"

"$root/tools/wine-prefix.sh" "$build" init
"$root/tools/wine-prefix.sh" "$build" start
export TLY_BUILD_DIR=$build
wine_run() { "$root/tools/wine-run.sh" "$@"; }

sim_pid=
cleanup() {
    wine_run regsvr32 /u /s "$(winepath_of "$module/TallyportAccessControlTranslator.dll")" >/dev/null 2>&1 </dev/null
    [ -n "$sim_pid" ] && /usr/bin/python3 "$root/tools/tallyport-sim/simctl.py" --state-dir "$state" stop >/dev/null 2>&1
    "$root/tools/wine-prefix.sh" "$build" stop
}
winepath_of() { printf 'Z:%s' "$(echo "$1" | tr '/' '\\')"; }
trap cleanup EXIT

echo "== Starting the Tallyport simulator with the demo site"
ready=$(/usr/bin/python3 "$root/tools/tallyport-sim/simctl.py" --state-dir "$state" start -- \
    --port 0 --control-port 0 --max-lifetime $((duration + 120)) --quiet \
    --scenario "$root/tools/tallyport-sim/scenarios/demo.json") || { echo "simulator did not start"; exit 1; }
sim_pid=$(/usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["pid"])' <<<"$ready")
port=$(/usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])' <<<"$ready")
control=$(/usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["control_url"])' <<<"$ready")
echo "   HTTPS and WebSocket on 127.0.0.1:$port, control on $control"

echo "== Preparing the module directory $module"
cp "$build/bin/TallyportAccessControlTranslator.dll" "$module/"
/usr/bin/python3 - "$module" "$port" <<'PY'
import json, sys
module, port = sys.argv[1], int(sys.argv[2])
settings = {
    "version": 2,
    "server": {"hostname": "127.0.0.1", "port": port, "client_id": "corvanta-translator",
               "client_secret": "tallyport-demo-secret", "validate_cert": False},
    "logging": {"level": "info"},
    "debug": {"enable_badge_event_file": True},
}
open(f"{module}/tallyport_settings.json", "w").write(json.dumps(settings, indent=2))
pending = [{"panel_id": 1, "reader_id": 3, "card_number": 555001, "type": "granted"},
           {"panel_id": 2, "reader_id": 1, "card_number": 555002, "type": "denied", "deny_reason": "passback"}]
open(f"{module}/badge_events_pending.json", "w").write(json.dumps(pending, indent=2))
PY

echo "== Registering the COM server"
wine_run regsvr32 /s "$(winepath_of "$module/TallyportAccessControlTranslator.dll")" </dev/null >/dev/null 2>&1 \
    || { echo "regsvr32 failed"; exit 1; }

echo "== Running the simulated host for panels 1 and 2 (${duration} s)"
echo
wine_run "$build/bin/host-sim.exe" --panels 1,2 --duration "$duration" --json </dev/null 2>/dev/null \
    | /usr/bin/python3 "$here/present.py" --control "$control" --module "$module"
