#!/usr/bin/env python3
"""host-sim against the registered translator with no server to reach: every
panel is created, advised and initialised, reports itself offline, and closes;
the JSON lines parse; a bad option is refused with exit code 2, a class that
is not registered ends the run with exit code 3."""
import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
wine_run = os.path.join(here, "..", "..", "tools", "wine-run.sh")
host_sim = sys.argv[1]


def run(*args):
    return subprocess.run([wine_run, host_sim, *args], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=90)


def fail(message, output=""):
    print("FAIL:", message)
    print(output)
    sys.exit(1)


bad = run("--panels", "7,x")
if bad.returncode != 2 or "--panels" not in bad.stderr:
    fail(f"bad option gave exit {bad.returncode}", bad.stderr)

missing = run("--progid", "No.Such.Class", "--panels", "3,4")  # no --duration: the failure ends the run
if missing.returncode != 3 or "not registered" not in missing.stdout:
    fail(f"unknown ProgID gave exit {missing.returncode}", missing.stdout)

done = run("--panels", "7,8", "--duration", "2", "--readers", "3", "--json")
if done.returncode != 0:
    fail(f"exit {done.returncode}", done.stdout + done.stderr)
lines = [json.loads(line) for line in done.stdout.splitlines() if line.strip()]
for panel in (7, 8):
    calls = {line["method"]: line["hr"] for line in lines if line["kind"] == "call" and line["panel"] == panel}
    expected = {"CoCreateInstance": "0x00000000", "Advise": "0x00000000", "Ors_SetPanelID": "0x00000000",
                "Ors_CreateCommunicationObject": "0x00000000", "Ors_InitCommunication": "0x00000000",
                "Ors_InitializePanel": "0x80004005", "Ors_PollPanelForEvents": "0x80004005",
                "Unadvise": "0x00000000", "Ors_CloseCommunication": "0x00000001"}
    if calls != expected:
        fail(f"panel {panel} calls {calls}", done.stdout)
    statuses = [line for line in lines if line["kind"] == "status" and line["panel"] == panel]
    if not statuses or statuses[0] != {"kind": "status", "panel": panel, "panel_online": False, "readers_online": []}:
        fail(f"panel {panel} status {statuses}", done.stdout)
if any(line["kind"] == "event" for line in lines):
    fail("events without a server", done.stdout)
print(f"host-sim: {len(lines)} lines, both panels driven")
