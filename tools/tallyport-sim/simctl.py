#!/usr/bin/python3
"""Start, stop and call the Tallyport simulator from scripts and test fixtures.

    simctl.py --state-dir DIR start [--timeout S] [-- extra simulator arguments]
    simctl.py --state-dir DIR stop
    simctl.py --state-dir DIR call METHOD PATH [JSON-BODY]
    simctl.py --state-dir DIR status

`start` launches the simulator in the background (its output goes to
DIR/sim.log), waits for DIR/ready.json and prints it. `stop` asks for a
shutdown on the control port and, if the process is still alive after a few
seconds, ends it by its PID. Only the standard library is used here.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path
from typing import Optional

SIM = Path(__file__).resolve().parent / "tallyport_sim.py"
PYTHON = "/usr/bin/python3"  # Debian's interpreter, which has python3-aiohttp


def ready_path(state_dir: Path) -> Path:
    return state_dir / "ready.json"


def read_ready(state_dir: Path) -> Optional[dict]:
    try:
        return json.loads(ready_path(state_dir).read_text())
    except (OSError, ValueError):
        return None


def is_simulator(pid: int) -> bool:
    """True when the PID is alive and is this simulator (not a reused PID)."""
    try:
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False
    return SIM.name.encode() in cmdline


def control_call(ready: dict, method: str, path: str, body: Optional[str] = None,
                 timeout: float = 30.0) -> tuple[int, str]:
    url = f"http://{ready['host']}:{ready['control_port']}{path}"
    data = body.encode() if body is not None else None
    request = urllib.request.Request(url, data=data, method=method)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read().decode()


def start(state_dir: Path, extra: list[str], timeout: float) -> int:
    state_dir.mkdir(parents=True, exist_ok=True)
    old = read_ready(state_dir)
    if old and is_simulator(int(old["pid"])):
        print(f"simctl: a simulator (pid {old['pid']}) already runs for {state_dir}",
              file=sys.stderr)
        return 1
    ready_path(state_dir).unlink(missing_ok=True)
    with open(state_dir / "sim.log", "ab") as log:
        proc = subprocess.Popen(
            [PYTHON, str(SIM), "--state-dir", str(state_dir),
             "--ready-file", str(ready_path(state_dir)), *extra],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    deadline = time.monotonic() + timeout
    while (ready := read_ready(state_dir)) is None:
        if proc.poll() is not None:
            print(f"simctl: simulator exited with {proc.returncode}; see {state_dir}/sim.log",
                  file=sys.stderr)
            return 1
        if time.monotonic() > deadline:
            proc.terminate()
            print("simctl: simulator did not become ready", file=sys.stderr)
            return 1
        time.sleep(0.05)
    print(json.dumps(ready, indent=2))
    return 0


def wait_gone(pid: int, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not is_simulator(pid):
            return True
        time.sleep(0.05)
    return not is_simulator(pid)


def stop(state_dir: Path) -> int:
    ready = read_ready(state_dir)
    if ready is None:
        return 0
    pid = int(ready["pid"])
    try:
        control_call(ready, "POST", "/shutdown", timeout=3)
    except OSError:
        pass  # control port already gone; fall back to the PID
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if wait_gone(pid, 5):
            break
        os.kill(pid, sig)
    ready_path(state_dir).unlink(missing_ok=True)
    return 0


def call(state_dir: Path, method: str, path: str, body: Optional[str]) -> int:
    ready = read_ready(state_dir)
    if ready is None:
        print(f"simctl: no running simulator for {state_dir}", file=sys.stderr)
        return 1
    status, text = control_call(ready, method.upper(), path, body)
    print(text)
    return 0 if status < 400 else 1


def main(argv: list[str]) -> int:
    extra = argv[argv.index("--") + 1:] if "--" in argv else []
    argv = argv[: argv.index("--")] if "--" in argv else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", type=Path, required=True)
    commands = parser.add_subparsers(dest="command", required=True)
    start_cmd = commands.add_parser("start", help="launch, wait for the ready file, print it")
    start_cmd.add_argument("--timeout", type=float, default=30.0)
    commands.add_parser("stop", help="shut down, then end the PID if needed")
    commands.add_parser("status", help="print the control port's /state")
    call_cmd = commands.add_parser("call", help="one control call; prints the JSON answer")
    call_cmd.add_argument("method")
    call_cmd.add_argument("path")
    call_cmd.add_argument("body", nargs="?")
    args = parser.parse_args(argv)
    if args.command == "start":
        return start(args.state_dir, extra, args.timeout)
    if args.command == "stop":
        return stop(args.state_dir)
    if args.command == "status":
        return call(args.state_dir, "GET", "/state", None)
    return call(args.state_dir, args.method, args.path, args.body)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
