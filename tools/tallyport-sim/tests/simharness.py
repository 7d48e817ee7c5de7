"""Starts the simulator as a child process and talks to it, for the self-tests."""

from __future__ import annotations

import asyncio
import atexit
import base64
import json
import os
import shutil
import ssl
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Optional

import aiohttp

SIM_DIR = Path(__file__).resolve().parent.parent
SIM = SIM_DIR / "tallyport_sim.py"
sys.path.insert(0, str(SIM_DIR))

CLIENT = {"grant_type": "client_credentials",
          "client_id": "corvanta-translator", "client_secret": "tallyport-demo-secret"}


_cert_cache: Optional[tempfile.TemporaryDirectory] = None


def seed_certs(state_dir: Path) -> Path:
    """Give a state directory the certificates made once for this test run.

    Creating RSA keys is the slowest part of a start; the simulator reuses
    certificates it finds, so the tests make them once and copy them.
    """
    global _cert_cache
    from simcore.certs import ensure_certs
    if _cert_cache is None:
        _cert_cache = tempfile.TemporaryDirectory(prefix="tallyport-sim-certs-")
        atexit.register(_cert_cache.cleanup)
        ensure_certs(Path(_cert_cache.name))
    state_dir.mkdir(parents=True, exist_ok=True)
    for pem in Path(_cert_cache.name).glob("*.pem"):
        shutil.copy2(pem, state_dir / pem.name)
    return state_dir


def start_sim(state_dir: Path, *extra: str, stdin: Any = subprocess.DEVNULL,
              timeout: float = 30.0) -> tuple[subprocess.Popen, dict]:
    """Launch on free ports and wait for the ready file."""
    ready = state_dir / "ready.json"
    log_path = state_dir / "sim.log"
    with open(log_path, "ab") as log_file:  # a file, not a pipe nobody drains
        proc = subprocess.Popen(
            [sys.executable, str(SIM), "--port", "0", "--control-port", "0",
             "--state-dir", str(state_dir), "--ready-file", str(ready),
             "--max-lifetime", "300", *extra],
            stdin=stdin, stdout=subprocess.DEVNULL, stderr=log_file)
    deadline = time.monotonic() + timeout
    while not ready.exists():
        if proc.poll() is not None:
            raise RuntimeError(f"simulator exited: {log_path.read_text()}")
        if time.monotonic() > deadline:
            proc.kill()
            raise RuntimeError("simulator did not become ready")
        time.sleep(0.05)
    return proc, json.loads(ready.read_text())


def stop_sim(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def insecure_context() -> ssl.SSLContext:
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class SimClient:
    """Control calls and API calls against one running simulator."""

    def __init__(self, ready: dict, session: aiohttp.ClientSession):
        self.ready = ready
        self.session = session
        self.base = ready["base_url"]
        self.control = ready["control_url"]

    async def ctl(self, method: str, path: str, body: Any = None, expect: int = 200) -> dict:
        async with self.session.request(method, self.control + path,
                                        data=None if body is None else json.dumps(body)) as resp:
            doc = await resp.json()
            assert resp.status == expect, f"{method} {path}: {resp.status} {doc}"
            return doc

    async def api(self, method: str, path: str, token: Optional[str] = None,
                  **kwargs: Any) -> tuple[int, str]:
        headers = kwargs.pop("headers", {})
        if token:
            headers["Authorization"] = f"Bearer {token}"
        async with self.session.request(method, self.base + path, headers=headers,
                                        ssl=False, **kwargs) as resp:
            return resp.status, await resp.text()

    async def token(self) -> str:
        status, text = await self.api("POST", "/auth/token", json=CLIENT)
        assert status == 200, text
        return json.loads(text)["access_token"]

    async def get_json(self, path: str, token: str) -> Any:
        status, text = await self.api("GET", "/api/corvanta" + path, token)
        assert status == 200, f"{path}: {status} {text}"
        return json.loads(text)


class RawWebSocket:
    """A WebSocket client that shows individual frames, which library clients hide."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, status: int):
        self.reader, self.writer, self.status = reader, writer, status

    @staticmethod
    async def open(ready: dict, token: str) -> "RawWebSocket":
        reader, writer = await asyncio.open_connection(
            ready["host"], ready["port"], ssl=insecure_context())
        key = base64.b64encode(os.urandom(16)).decode()
        writer.write((f"GET /api/corvanta/events?access_token={token} HTTP/1.1\r\n"
                      f"Host: {ready['host']}:{ready['port']}\r\nUpgrade: websocket\r\n"
                      f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 5)
        return RawWebSocket(reader, writer, int(head.split()[1]))

    async def frame(self, timeout: float = 5) -> tuple[bool, int, bytes]:
        """(fin, opcode, payload) of the next frame."""
        async def read() -> tuple[bool, int, bytes]:
            first, second = await self.reader.readexactly(2)
            length = second & 0x7F
            if length == 126:
                (length,) = struct.unpack("!H", await self.reader.readexactly(2))
            elif length == 127:
                (length,) = struct.unpack("!Q", await self.reader.readexactly(8))
            return bool(first & 0x80), first & 0x0F, await self.reader.readexactly(length)
        return await asyncio.wait_for(read(), timeout)

    def send(self, opcode: int, payload: bytes) -> None:
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.writer.write(bytes([0x80 | opcode, 0x80 | len(payload)]) + mask + masked)

    async def close(self) -> None:
        self.writer.close()
        try:
            await asyncio.wait_for(self.writer.wait_closed(), 2)
        except (OSError, asyncio.TimeoutError, ssl.SSLError):
            pass


class RawHttp:
    """One HTTP/1.1 GET over TLS whose answer the test reads as it arrives, however it ends."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 status: int, headers: dict[str, str]):
        self.reader, self.writer, self.status, self.headers = reader, writer, status, headers

    @staticmethod
    async def get(ready: dict, path: str, token: Optional[str] = None) -> "RawHttp":
        """Send a GET and read the status line and headers (names in lower case)."""
        reader, writer = await asyncio.open_connection(
            ready["host"], ready["port"], ssl=insecure_context())
        auth = f"Authorization: Bearer {token}\r\n" if token else ""
        writer.write(f"GET {path} HTTP/1.1\r\nHost: {ready['host']}:{ready['port']}\r\n"
                     f"{auth}\r\n".encode())
        head = (await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 5)).decode("latin-1")
        lines = head.split("\r\n")
        headers = {}
        for line in lines[1:]:
            if line:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
        return RawHttp(reader, writer, int(lines[0].split()[1]), headers)

    async def chunk(self, timeout: float = 5) -> bytes:
        """The data of the next chunk of a chunked body (b"" for the last)."""
        async def read() -> bytes:
            size = int((await self.reader.readuntil(b"\r\n")).split(b";")[0], 16)
            data = await self.reader.readexactly(size + 2)
            return data[:-2]
        return await asyncio.wait_for(read(), timeout)

    async def until_eof(self, timeout: float = 5) -> bytes:
        """Everything up to the end of the connection (an orderly one or a reset)."""
        async def read() -> bytes:
            data = b""
            try:
                while piece := await self.reader.read(65536):
                    data += piece
            except (ConnectionError, ssl.SSLError):
                pass
            return data
        return await asyncio.wait_for(read(), timeout)

    async def close(self) -> None:
        self.writer.close()
        try:
            await asyncio.wait_for(self.writer.wait_closed(), 2)
        except (OSError, asyncio.TimeoutError, ssl.SSLError):
            pass


class SimTestCase:
    """Mix-in: one simulator per test class, a fresh state and session per test."""

    proc: subprocess.Popen
    ready: dict
    extra_args: tuple[str, ...] = ()

    @classmethod
    def setUpClass(cls) -> None:
        cls._tmp = tempfile.TemporaryDirectory(prefix="tallyport-sim-test-")
        cls.proc, cls.ready = start_sim(seed_certs(Path(cls._tmp.name)), *cls.extra_args)

    @classmethod
    def tearDownClass(cls) -> None:
        stop_sim(cls.proc)
        if os.environ.get("SIM_TEST_LOG"):
            sys.stderr.write((Path(cls._tmp.name) / "sim.log").read_text())
        cls._tmp.cleanup()

    async def asyncSetUp(self) -> None:
        asyncio.get_running_loop().slow_callback_duration = 1.0  # TLS handshakes are slow
        self.session = aiohttp.ClientSession()
        self.sim = SimClient(self.ready, self.session)
        await self.sim.ctl("POST", "/reset")

    async def asyncTearDown(self) -> None:
        await self.session.close()
