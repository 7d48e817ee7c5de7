"""Pieces for the whole-system tests: a Tallyport simulator process, a module
directory with its own copy of the translator DLL, the COM registration of that
copy, a host-sim run whose output is read on a thread while the test acts, and
the translator's log read back.

Everything runs in the build tree's Wine prefix (TLY_BUILD_DIR) on loopback.
Each piece ends what it started, by its PID, and the simulator also stops by
itself after its maximum lifetime.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path
from typing import Callable, Optional

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("TLY_BUILD_DIR", SOURCE_DIR / "build")).resolve()
WINE_RUN = SOURCE_DIR / "tools" / "wine-run.sh"
SIMCTL = SOURCE_DIR / "tools" / "tallyport-sim" / "simctl.py"
HOST_SIM = BUILD_DIR / "bin" / "host-sim.exe"
DLL = BUILD_DIR / "bin" / "TallyportAccessControlTranslator.dll"
PYTHON = "/usr/bin/python3"

PROGID = "TallyportAccessControlTranslator.AccessControlTrans"
CLIENT_ID = "corvanta-translator"
CLIENT_SECRET = "tallyport-demo-secret"


class WaitTimeout(AssertionError):
    """A wait ran out of time; the message says what was awaited."""


def wait_until(condition: Callable[[], object], timeout: float, what: str, step: float = 0.1):
    """Calls condition until it returns something true and returns that, or
    raises WaitTimeout after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise WaitTimeout(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(step)


def windows_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def wine(*args: str, timeout: float = 120, cwd: Optional[Path] = None) -> subprocess.CompletedProcess:
    """One Windows program in the build tree's prefix; output captured.

    The output goes through files, not pipes: a program that needs the desktop
    starts Wine's desktop process, which inherits its standard error and lives
    as long as any program of the prefix uses the desktop (other tests, in a
    parallel run). A pipe would then not end when the program does, and the
    wait for its end would last until that process goes."""
    env = dict(os.environ, TLY_BUILD_DIR=str(BUILD_DIR))
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        done = subprocess.run([str(WINE_RUN), *args], stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                              env=env, cwd=cwd, timeout=timeout)
        stdout.seek(0)
        stderr.seek(0)
        return subprocess.CompletedProcess(done.args, done.returncode,
                                           stdout.read().decode("utf-8", "replace"),
                                           stderr.read().decode("utf-8", "replace"))


# ---------------------------------------------------------------- simulator

class Simulator:
    """One simulator process on its own state directory. `start` waits for its
    ready file; `stop` shuts it down and ends its PID if it lingers."""

    def __init__(self, state_dir: Path, *extra: str, max_lifetime: int = 600, certificates_from: Optional[Path] = None):
        self.state_dir = state_dir
        self.certificates_from = certificates_from
        self.extra = ["--port", "0", "--control-port", "0", "--quiet", "--max-lifetime", str(max_lifetime), *extra]
        self.ready: dict = {}

    def start(self) -> "Simulator":
        self.state_dir.mkdir(parents=True, exist_ok=True)
        if self.certificates_from:
            # The same server moved elsewhere: it keeps its certificates, so a
            # pinned thumbprint still holds.
            for pem in self.certificates_from.glob("*.pem"):
                shutil.copy2(pem, self.state_dir / pem.name)
        done = subprocess.run([PYTHON, str(SIMCTL), "--state-dir", str(self.state_dir), "start", "--", *self.extra],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise RuntimeError(f"simulator did not start: {done.stderr}")
        self.ready = json.loads(done.stdout)
        return self

    def stop(self) -> None:
        if self.ready:
            subprocess.run([PYTHON, str(SIMCTL), "--state-dir", str(self.state_dir), "stop"],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            self.ready = {}

    @property
    def port(self) -> int:
        return int(self.ready["port"])

    @property
    def thumbprint(self) -> str:
        return self.ready["cert_sha1"].lower()

    @property
    def alternate_thumbprint(self) -> str:
        return self.ready["alt_cert_sha1"].lower()

    def call(self, method: str, path: str, body: Optional[dict] = None, timeout: float = 30) -> tuple[int, dict]:
        """One control call; the status and the JSON answer."""
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.ready["control_url"] + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as answer:
                return answer.status, json.load(answer)
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"{}")

    def control(self, method: str, path: str, body: Optional[dict] = None) -> dict:
        """A control call that must succeed."""
        status, answer = self.call(method, path, body)
        if status >= 400:
            raise AssertionError(f"simulator control {method} {path} answered {status}: {answer}")
        return answer

    def requests(self, path: str, since_seq: int = 0) -> list[dict]:
        return self.control("GET", f"/requests?path={path}&since_seq={since_seq}")["requests"]

    def last_seq(self) -> int:
        """The sequence number of the newest recorded request (0: none)."""
        recorded = self.control("GET", "/requests")["requests"]
        return max((r["seq"] for r in recorded), default=0)

    def wait_requests(self, path: str, since_seq: int = 0, count: int = 1, timeout: float = 30) -> list[dict]:
        status, answer = self.call("POST", "/wait/requests",
                                   {"path": path, "since_seq": since_seq, "count": count,
                                    "timeout_ms": int(timeout * 1000)}, timeout=timeout + 10)
        if status != 200:
            raise WaitTimeout(f"timed out after {timeout:.0f} s waiting for {count} request(s) to {path}")
        return answer["requests"]


# ---------------------------------------------------------- module directory

class ModuleDirectory:
    """A directory holding a copy of the translator DLL with its settings file;
    the translator writes its log and badge files beside the DLL."""

    def __init__(self, path: Path):
        if path.exists():
            shutil.rmtree(path)
        path.mkdir(parents=True)
        self.path = path
        self.dll = path / DLL.name
        shutil.copy2(DLL, self.dll)
        self.settings_path = path / "tallyport_settings.json"
        self.log_path = path / "tly_translator.log"
        self.pending_path = path / "badge_events_pending.json"
        self.sent_path = path / "badge_events_sent.json"

    def write_settings(self, port: int, level: str = "info", badge_file: bool = False, **server) -> dict:
        settings = {
            "version": 2,
            "server": {"hostname": "127.0.0.1", "port": port, "client_id": CLIENT_ID,
                       "client_secret": CLIENT_SECRET, "validate_cert": False, **server},
            "logging": {"level": level},
            "debug": {"enable_badge_event_file": badge_file},
        }
        self.write_json(self.settings_path, settings)
        return settings

    def settings(self) -> dict:
        return json.loads(self.settings_path.read_text())

    def edit_settings(self, change: Callable[[dict], None]) -> None:
        """Reads the file as the translator last left it, changes it and writes
        it back in place, as a person editing it would."""
        settings = self.settings()
        change(settings)
        self.write_json(self.settings_path, settings)

    @staticmethod
    def write_json(path: Path, value) -> None:
        path.write_text(json.dumps(value, indent=2))

    @staticmethod
    def read_json(path: Path):
        return json.loads(path.read_text()) if path.exists() else None


class Registration:
    """The translator class registered from one module directory. What was
    registered before (the COM server tests' copy) is registered again when
    this one is undone, so other tests find the class as they left it."""

    def __init__(self, module: ModuleDirectory):
        self.module = module
        self.previous = registered_server()
        done = wine("regsvr32", "/s", windows_path(module.dll))
        if done.returncode != 0:
            raise RuntimeError(f"regsvr32 failed with exit code {done.returncode}")

    def undo(self) -> None:
        wine("regsvr32", "/u", "/s", windows_path(self.module.dll))
        if self.previous and self.previous != windows_path(self.module.dll):
            if Path(self.previous[2:].replace("\\", "/")).exists():
                wine("regsvr32", "/s", self.previous)


def registered_server() -> Optional[str]:
    """The Windows path of the DLL now registered for the ProgID, if any."""
    clsid = _reg_default(f"HKCR\\{PROGID}\\CLSID")
    return _reg_default(f"HKCR\\CLSID\\{clsid}\\InprocServer32") if clsid else None


def _reg_default(key: str) -> Optional[str]:
    done = wine("reg", "query", key, "/ve")
    for line in done.stdout.replace("\r", "").splitlines():
        parts = line.split("    ")
        if len(parts) >= 4 and parts[2].startswith("REG_"):
            return parts[3]
    return None


# ------------------------------------------------------------------ host-sim

class HostSim:
    """host-sim running for some panels; its JSON lines are gathered on a
    thread so that the test can act on the simulator meanwhile."""

    def __init__(self, panels: str, duration: int, readers: int = 8, extra: tuple[str, ...] = ()):
        env = dict(os.environ, TLY_BUILD_DIR=str(BUILD_DIR))
        self.lines: list[dict] = []
        self.other_output: list[str] = []
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [str(WINE_RUN), str(HOST_SIM), "--panels", panels, "--duration", str(duration),
             "--readers", str(readers), "--json", *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        for raw in self.process.stdout:
            try:
                line = json.loads(raw)
            except ValueError:
                line = None
            with self._changed:
                if isinstance(line, dict):
                    self.lines.append(line)
                else:
                    self.other_output.append(raw)
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def snapshot(self) -> list[dict]:
        with self._changed:
            return list(self.lines)

    def mark(self) -> int:
        """A position in the output: later waits can look only past it."""
        with self._changed:
            return len(self.lines)

    def wait_for(self, predicate: Callable[[dict], bool], timeout: float, what: str, start: int = 0) -> dict:
        """The first line from position start on that satisfies predicate."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines[start:]:
                    if predicate(line):
                        return line
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.process.poll() is not None and not self._reader.is_alive()):
                    raise WaitTimeout(f"host-sim gave no {what} within {timeout:.0f} s "
                                      f"({len(self.lines)} lines so far)")
                self._changed.wait(min(remaining, 1.0))

    def stop(self, timeout: float = 60) -> int:
        """Ends the run as Ctrl+C would, so the panels close normally; kills
        its PID only when it does not end in time. The exit code. Of a run
        that has ended already, it only collects the rest of its output."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.send_signal(signal.SIGKILL)
            code = self.process.wait()
        self._reader.join(timeout=10)
        self.process.stdout.close()
        return code

    def index_of(self, line: dict) -> int:
        with self._changed:
            return next(i for i, item in enumerate(self.lines) if item is line)


def is_comm_event(line: dict, panel: int, event_id: int) -> bool:
    """Communication lost (76) or restored (77) for a panel."""
    return (line.get("kind") == "event" and line["panel"] == panel and line["event_type"] == 4
            and line["event_id"] == event_id and line["data_type"] == 3)


def is_status_record(line: dict, panel: int, device: Optional[int] = None, status: Optional[int] = None) -> bool:
    """A status report of the panel (device 0) or a reader; any device or
    status when not given."""
    return (line.get("kind") == "event" and line["panel"] == panel and line["message_type"] == 1
            and line["data_type"] == 19 and (device is None or line["device_id"] == device)
            and (status is None or line["status"] == status))


# ----------------------------------------------------------------------- log

class TranslatorLog:
    """The translator's JSON-lines log in a module directory."""

    def __init__(self, path: Path):
        self.path = path

    def lines(self) -> list[dict]:
        if not self.path.exists():
            return []
        result = []
        for raw in self.path.read_text(errors="replace").splitlines():
            try:
                result.append(json.loads(raw))
            except ValueError:
                pass  # a line being written while we read
        return result

    def with_event(self, event: str, start: int = 0) -> list[dict]:
        return [line for line in self.lines()[start:] if line.get("event") == event]

    def wait_event(self, event: str, timeout: float, start: int = 0,
                   fields: Optional[dict] = None) -> dict:
        """The first line from position start on with this event and, when
        given, these field values."""
        def found():
            return next((line for line in self.with_event(event, start)
                         if all(line.get("fields", {}).get(key) == value for key, value in (fields or {}).items())),
                        None)
        return wait_until(found, timeout, f'log event "{event}" {fields or ""} in {self.path.name}')

    def mark(self) -> int:
        return len(self.lines())
