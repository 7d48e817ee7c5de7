"""The Tallyport server as clients see it: HTTPS REST and the event WebSocket on one port.

Every request is recorded first (headers and body as received), then an armed
fault may replace or delay the answer, then the bearer token is checked, and
only then does the endpoint answer from the simulated state.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import re
import socket
import ssl
import struct
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Iterable, Optional

from aiohttp import WSMsgType, web

from . import wsframes
from .certs import ServerCert
from .state import (Activities, ControlError, Fault, Faults, MAX_RECORDED_BODY,
                    STREAMING_ACTIONS, RequestLog, Site, Tokens, compact_json,
                    filler_chunks, parse_ids, utc_now_text)

HOST = "127.0.0.1"
BASE = "/api/corvanta"
EVENTS_PATH = BASE + "/events"
TOKEN_PATH = "/auth/token"
MAX_CLIENT_MESSAGES = 200
# The cipher list of a current server (Python's own default).
DEFAULT_CIPHERS = ("@SECLEVEL=2:ECDH+AESGCM:ECDH+CHACHA20:ECDH+AES:DHE+AES:"
                   "!aNULL:!eNULL:!aDSS:!SHA1:!AESCCM")
OLD_TLS_VERSIONS = {"1.0": ssl.TLSVersion.TLSv1, "1.1": ssl.TLSVersion.TLSv1_1}

log = logging.getLogger("tallyport-sim")

Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


@dataclass
class Config:
    """Settings a control call may change; reset restores the start-up values."""

    client_id: str = "corvanta-translator"
    client_secret: str = "tallyport-demo-secret"
    expires_in: Optional[int] = 3600  # None: the token response has no "expires_in"
    batch_size: int = 10
    auto_notify_activities: bool = True
    heartbeat_interval_ms: int = 0  # 0: no periodic "heartbeat" messages
    ws_answer_client_close: bool = True

    def update(self, args: dict) -> None:
        types = {"client_id": str, "client_secret": str, "batch_size": int,
                 "auto_notify_activities": bool, "heartbeat_interval_ms": int,
                 "ws_answer_client_close": bool}
        for key, value in args.items():
            if key == "expires_in":
                if value is not None and (not isinstance(value, int) or isinstance(value, bool)):
                    raise ControlError('"expires_in" must be an integer or null')
            elif key not in types:
                raise ControlError(f"unknown setting {key!r}")
            elif not isinstance(value, types[key]) or (
                    types[key] is int and isinstance(value, bool)):
                raise ControlError(f'"{key}" must be of type {types[key].__name__}')
        if args.get("batch_size", 1) < 1:
            raise ControlError('"batch_size" must be at least 1')
        for key, value in args.items():
            setattr(self, key, value)

    def describe(self) -> dict:
        return dict(self.__dict__)


@dataclass
class WsClient:
    """One open event channel and what the simulator knows about it."""

    id: int
    request: web.Request
    ws: web.WebSocketResponse
    connected_at: float = field(default_factory=time.time)
    close_sent: bool = False
    received: list[dict] = field(default_factory=list)

    @property
    def transport(self) -> Optional[asyncio.Transport]:
        return self.request.transport

    def write(self, data: bytes) -> bool:
        transport = self.transport
        if transport is None or transport.is_closing():
            return False
        transport.write(data)
        return True

    def describe(self) -> dict:
        transport = self.transport
        peer = transport.get_extra_info("peername") if transport else None
        return {"id": self.id, "connected_at": self.connected_at,
                "client_port": peer[1] if peer else None,
                "close_sent": self.close_sent, "received": self.received}


def json_response(status: int, value: Any, headers: Optional[dict] = None) -> web.Response:
    return web.Response(status=status, text=compact_json(value),
                        content_type="application/json", headers=headers)


def cut_connection(transport: Optional[asyncio.BaseTransport], mode: str) -> None:
    """End a TCP connection: "close" is an orderly close, "reset" sends a reset."""
    if transport is None or transport.is_closing():
        return
    if mode == "reset":
        sock = transport.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
        transport.abort()
    else:
        transport.close()


class TallyportServer:
    """State plus the TLS listener; the control layer drives it."""

    def __init__(self, defaults: Config, certs: dict[str, ServerCert], port: int):
        self.defaults = defaults
        self.certs = certs
        self.port = port
        self.ssl_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.tls_maximum: Optional[str] = None  # None: TLS 1.2 and later, as a current server
        self.limit_tls(None)
        self.active_cert = "primary"
        self.ws_clients: dict[int, WsClient] = {}
        self._next_ws_id = 1
        self._listener: Optional[asyncio.AbstractServer] = None
        self._runner: Optional[web.AppRunner] = None
        self._release = asyncio.Event()
        self._changed = asyncio.Event()
        self._heartbeat_task: Optional[asyncio.Task] = None
        self.reset_state()

    # ------------------------------------------------------------ lifecycle

    def reset_state(self) -> None:
        """Everything back to how the process started, certificate included."""
        self.config = Config(**self.defaults.describe())
        self.site = Site()
        self.activities = Activities()
        self.tokens = Tokens()
        self.faults = Faults()
        self.requests = RequestLog()
        self.use_cert("primary")
        self.limit_tls(None)
        self.drop_connections("all", "close")
        self.release_waiting()

    async def start(self) -> None:
        app = web.Application(middlewares=[self._middleware])
        app.router.add_post(TOKEN_PATH, self._token)
        app.router.add_get(BASE + "/status", self._status)
        app.router.add_get(BASE + "/doors", self._doors)
        app.router.add_get(BASE + "/handhelds", self._handhelds)
        app.router.add_get(BASE + "/panels/{panel}/readers", self._panel_readers)
        app.router.add_get(BASE + "/connected-readers", self._connected_readers)
        app.router.add_get(BASE + "/pending_activities/{panel}", self._pending)
        app.router.add_post(BASE + "/activities/batch_processed", self._batch_processed)
        app.router.add_get(EVENTS_PATH, self._events)
        self._runner = web.AppRunner(app, handle_signals=False, access_log=None)
        await self._runner.setup()
        await self.start_listener()
        self._heartbeat_task = asyncio.create_task(self._heartbeats())

    async def stop(self) -> None:
        if self._heartbeat_task:
            self._heartbeat_task.cancel()
        await self.stop_listener(mode="reset")
        if self._runner:
            await self._runner.cleanup()

    @property
    def listening(self) -> bool:
        return self._listener is not None

    async def start_listener(self) -> None:
        """Accept connections again on the same port (the first start may pick it)."""
        if self._listener is not None:
            return
        assert self._runner is not None and self._runner.server is not None
        loop = asyncio.get_running_loop()
        try:
            self._listener = await loop.create_server(
                self._runner.server, HOST, self.port, ssl=self.ssl_context, backlog=128)
        except OSError as exc:
            raise ControlError(f"cannot listen on {HOST}:{self.port}: {exc}", 409) from exc
        self.port = self._listener.sockets[0].getsockname()[1]
        log.info("listening on https://%s:%d", HOST, self.port)

    async def stop_listener(self, mode: str = "close") -> None:
        """Refuse new connections and end the live ones, as a server outage would."""
        if self._listener is not None:
            self._listener.close()
            self._listener = None
            log.info("listener stopped")
        self.drop_connections("all", mode)
        self.release_waiting()

    def use_cert(self, name: str) -> None:
        """Present another certificate from the next TLS handshake on."""
        if name not in self.certs:
            raise ControlError('"use" must be "primary" or "alternate"')
        cert = self.certs[name]
        self.ssl_context.load_cert_chain(str(cert.cert_pem), str(cert.key_pem))
        self.active_cert = name

    def limit_tls(self, maximum: Optional[str]) -> None:
        """Cap new handshakes at an old TLS version ("1.0" or "1.1"), or lift the cap (None).

        A capped listener offers only TLS 1.0 up to the cap, as an outdated
        server does. OpenSSL refuses those versions at its default security
        level, so the capped context drops to level 0.
        """
        if maximum not in OLD_TLS_VERSIONS and maximum is not None:
            raise ControlError('"maximum" must be "1.0", "1.1" or null')
        if maximum is None:
            self.ssl_context.minimum_version = ssl.TLSVersion.TLSv1_2
            self.ssl_context.maximum_version = ssl.TLSVersion.MAXIMUM_SUPPORTED
            self.ssl_context.set_ciphers(DEFAULT_CIPHERS)
        else:
            self.ssl_context.set_ciphers("DEFAULT:@SECLEVEL=0")
            with warnings.catch_warnings():  # outdated on purpose
                warnings.simplefilter("ignore", DeprecationWarning)
                self.ssl_context.minimum_version = ssl.TLSVersion.TLSv1
                self.ssl_context.maximum_version = OLD_TLS_VERSIONS[maximum]
        self.tls_maximum = maximum

    # ------------------------------------------------------------ connections

    def drop_connections(self, what: str, mode: str) -> dict:
        """Cut REST keep-alive connections, event channels, or both."""
        if what not in ("rest", "websocket", "all") or mode not in ("close", "reset"):
            raise ControlError('"what" must be rest, websocket or all; "mode" close or reset')
        ws_transports = {id(c.transport) for c in self.ws_clients.values() if c.transport}
        counts = {"rest": 0, "websocket": 0}
        server = self._runner.server if self._runner else None
        connections = server.connections if server else []
        for handler in connections:
            transport = handler.transport
            if transport is None or transport.is_closing():
                continue
            kind = "websocket" if id(transport) in ws_transports else "rest"
            if what in (kind, "all"):
                cut_connection(transport, mode)
                counts[kind] += 1
        return {"dropped": counts}

    def release_waiting(self) -> None:
        """Wake every request held by a fault or a held close handshake.

        "hang" and "stall_after_headers" requests end, and so do answers a
        "drip", "oversized" or "endless" fault is still sending.
        """
        self._release.set()
        self._release = asyncio.Event()

    async def hold(self, request: web.Request, seconds: Optional[float],
                   release: Optional[asyncio.Event] = None) -> str:
        """Wait up to `seconds` (None: for ever); says why it ended.

        "timeout" when the time passed, "released" when a control call let
        held requests go, "gone" when the client closed the connection.
        `release`: the release event of an earlier moment, so that a release
        between two waits of one request is not missed.
        """
        if release is None:
            release = self._release
        deadline = None if seconds is None else time.monotonic() + seconds
        while True:
            step = 0.2 if deadline is None else min(0.2, max(0.0, deadline - time.monotonic()))
            try:
                await asyncio.wait_for(release.wait(), step)
                return "released"
            except asyncio.TimeoutError:
                pass
            transport = request.transport
            if transport is None or transport.is_closing():
                return "gone"
            if deadline is not None and time.monotonic() >= deadline:
                return "timeout"

    # ------------------------------------------------------------ change notification

    def notify_change(self) -> None:
        self._changed.set()
        self._changed = asyncio.Event()

    async def wait_until(self, predicate: Callable[[], bool], timeout_s: float) -> bool:
        """Wait for state to satisfy `predicate`, re-checking after every change."""
        deadline = time.monotonic() + timeout_s
        while not predicate():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            try:
                await asyncio.wait_for(self._changed.wait(), remaining)
            except asyncio.TimeoutError:
                return predicate()
        return True

    # ------------------------------------------------------------ WebSocket output

    def ws_send_bytes(self, data: bytes, client_id: Optional[int] = None) -> int:
        sent = 0
        for client in list(self.ws_clients.values()):
            if client_id is None or client.id == client_id:
                sent += client.write(data)
        return sent

    def ws_send_json(self, message: dict) -> int:
        data = wsframes.encode_message(wsframes.OP_TEXT, compact_json(message).encode())
        return self.ws_send_bytes(data)

    def ws_close(self, code: Optional[int], reason: str, client_id: Optional[int]) -> int:
        """Send a close frame; the connection ends when the client answers it."""
        sent = 0
        for client in list(self.ws_clients.values()):
            if client_id is None or client.id == client_id:
                if client.write(wsframes.encode_close(code, reason)):
                    client.close_sent = True
                    sent += 1
        return sent

    async def _heartbeats(self) -> None:
        """Periodic "heartbeat" messages while an interval is configured."""
        while True:
            interval = self.config.heartbeat_interval_ms
            await asyncio.sleep(interval / 1000 if interval > 0 else 0.5)
            if interval > 0 and self.config.heartbeat_interval_ms > 0:
                self.ws_send_json({"type": "heartbeat"})

    # ------------------------------------------------------------ request pipeline

    @web.middleware
    async def _middleware(self, request: web.Request, handler: Handler) -> web.StreamResponse:
        entry = await self._record(request)
        if not entry["body_complete"]:
            # The client ended the connection before its declared body arrived
            # (as a client does when it refuses the certificate): no one to answer.
            cut_connection(request.transport, "close")
            return web.Response(status=499)
        fault = self.faults.take(request.method, request.path)
        if fault is not None:
            log.info("fault %d (%s) on %s %s", fault.id, fault.action, request.method, request.path)
            entry["fault"] = {"id": fault.id, "action": fault.action, "status": fault.status,
                              "delay_ms": fault.delay_ms, **fault.stream_settings()}
            if fault.action in STREAMING_ACTIONS:
                entry["fault"].update(sent_bytes=0, ended=None)
            self.notify_change()
        try:
            response = await self._answer(request, handler, fault, entry["fault"])
        except web.HTTPException as exc:
            entry["response_status"] = exc.status
            self.notify_change()
            raise
        entry["response_status"] = response.status
        self.notify_change()  # wakes a wait for "answered" requests
        return response

    async def _answer(self, request: web.Request, handler: Handler,
                      fault: Optional[Fault], record: Optional[dict] = None) -> web.StreamResponse:
        if fault is not None and fault.delay_ms:
            if await self.hold(request, fault.delay_ms / 1000) == "gone":
                return web.Response(status=499)
        if fault is None or fault.action == "pass":
            return await self._authorised(request, handler)
        if fault.action == "respond":
            return self._fault_response(fault)
        if fault.action == "hang":
            await self.hold(request, None)
            cut_connection(request.transport, "close")
            return web.Response(status=499)
        if fault.action in ("close", "reset"):
            cut_connection(request.transport, fault.action)
            return web.Response(status=499)
        if fault.action in STREAMING_ACTIONS:
            return await self._stream_answer(request, handler, fault,
                                             record if record is not None else {})
        return await self._cut_mid_body(request, handler, fault)

    async def _authorised(self, request: web.Request, handler: Handler) -> web.StreamResponse:
        """Answer normally, provided an API path carries a valid bearer token."""
        if request.path.startswith(BASE + "/") and request.path != EVENTS_PATH:
            scheme, _, token = request.headers.get("Authorization", "").partition(" ")
            if scheme.lower() != "bearer" or not self.tokens.valid(token.strip()):
                return json_response(401, {"error": "invalid_token"},
                                     {"WWW-Authenticate": 'Bearer error="invalid_token"'})
        return await handler(request)

    @staticmethod
    def _fault_response(fault: Fault) -> web.Response:
        status = fault.status if fault.status is not None else 200
        body = (fault.body or "").encode("utf-8")
        headers = {"Content-Type": fault.content_type, **fault.headers}
        if status in (204, 304) or status < 200:
            body = b""
        return web.Response(status=status, body=body, headers=headers)

    async def _normal_answer(self, request: web.Request, handler: Handler,
                             fault: Fault) -> tuple[int, bytes]:
        """The status and body to send: the normal answer's, or the fault's.

        The normal answer is made either way, so the request takes effect
        (a batch is marked, a token issued) even when its answer goes astray.
        """
        try:
            normal = await self._authorised(request, handler)
        except web.HTTPException as exc:
            normal = exc
        body = fault.body.encode() if fault.body is not None else (normal.body or b"")
        if not isinstance(body, bytes):
            body = bytes(body)
        return fault.status if fault.status is not None else normal.status, body

    async def _cut_mid_body(self, request: web.Request, handler: Handler,
                            fault: Fault) -> web.StreamResponse:
        """Send the headers and half the body, then end the connection."""
        status, body = await self._normal_answer(request, handler, fault)
        response = web.StreamResponse(status=status)
        response.content_type = fault.content_type
        response.content_length = len(body) if len(body) >= 2 else len(body) + 64
        await response.prepare(request)
        await response.write(body[: max(len(body) // 2, 0)] if len(body) >= 2 else body)
        cut_connection(request.transport, fault.cut_mode)
        return response

    async def _stream_answer(self, request: web.Request, handler: Handler, fault: Fault,
                             record: dict) -> web.StreamResponse:
        """drip, oversized, endless, stall_after_headers: an answer that goes wrong on the wire.

        The status line and headers go out at once, then the body as the
        action says. `record` (the request log's "fault" entry) counts the
        body bytes written and says how the answer ended: "complete";
        "gone" when the client went away; "released" when clear_faults, reset
        or server_stop let held requests go (the connection is then cut as
        "cut_mode" says).
        """
        release = self._release
        if fault.action in ("drip", "stall_after_headers"):
            status, body = await self._normal_answer(request, handler, fault)
        else:
            status, body = (fault.status if fault.status is not None else 200), b""
        response = web.StreamResponse(status=status, headers=fault.headers)
        response.content_type = fault.content_type
        if fault.action == "endless" or (fault.action == "oversized"
                                         and not fault.announce_length):
            response.enable_chunked_encoding()
        elif fault.action == "oversized":
            response.content_length = fault.size_bytes
        elif fault.action == "stall_after_headers" and not body:
            response.content_length = 64  # nothing to hold back: announce bytes that never come
        else:
            response.content_length = len(body)
        record["sent_bytes"] = 0
        try:
            await response.prepare(request)
            outcome = await self._until_released(
                self._send_body(request, response, fault, body, record, release), release)
        except ConnectionError:  # a write found the client gone: an ending, not an error
            outcome = "gone"
        record["ended"] = outcome
        log.info("fault %d (%s) %s after %d body bytes", fault.id, fault.action,
                 {"complete": "done", "gone": "ended by the client",
                  "released": "released"}[outcome], record["sent_bytes"])
        if outcome != "complete":
            cut_connection(request.transport, fault.cut_mode if outcome == "released" else "close")
        self.notify_change()
        return response

    async def _send_body(self, request: web.Request, response: web.StreamResponse, fault: Fault,
                         body: bytes, record: dict, release: asyncio.Event) -> str:
        """Write the body piece by piece as the fault says; "complete", "gone" or "released"."""
        pieces: Iterable[bytes]
        if fault.action == "drip":
            step = fault.drip_bytes or 1
            pieces = (body[i: i + step] for i in range(0, len(body), step))
        elif fault.action == "stall_after_headers":
            sent = min(fault.stall_after_bytes or 0, max(len(body) - 1, 0))
            pieces = [body[:sent]] if sent else []
        else:
            pieces = filler_chunks(fault.chunk_bytes or 65536,
                                   fault.size_bytes if fault.action == "oversized" else None)
        pause = (fault.interval_ms or 0) / 1000
        for piece in pieces:
            if pause:
                why = await self.hold(request, pause, release)
                if why != "timeout":
                    return why
            await response.write(piece)  # waits while the client does not read
            record["sent_bytes"] += len(piece)
            await asyncio.sleep(0)  # a fast reader must not starve other requests
        if fault.action == "stall_after_headers":
            return await self.hold(request, None, release)
        return "complete"

    @staticmethod
    async def _until_released(work: Awaitable[str], release: asyncio.Event) -> str:
        """What `work` returns, or "released" once `release` is set before it ends.

        Even a write blocked on a client that reads nothing ends at a release.
        """
        task = asyncio.ensure_future(work)
        waiter = asyncio.ensure_future(release.wait())
        try:
            await asyncio.wait({task, waiter}, return_when=asyncio.FIRST_COMPLETED)
        finally:  # also when this request's handler is cancelled
            waiter.cancel()
            if not task.done():
                task.cancel()
                with contextlib.suppress(asyncio.CancelledError, ConnectionError):
                    await task
        if task.cancelled():
            return "released"
        return task.result()

    async def _record(self, request: web.Request) -> dict:
        """Log the request as it arrived, before anything can go wrong with it."""
        complete = True
        try:
            body = await request.read()
        except Exception:  # the client went away during the body
            body, complete = b"", False
        transport = request.transport
        peer = transport.get_extra_info("peername") if transport else None
        headers: dict[str, str] = {}
        for name, value in request.headers.items():
            headers[name] = f"{headers[name]}, {value}" if name in headers else value
        entry = self.requests.add({
            "time": time.time(),
            "method": request.method,
            "path": request.path,
            "query": request.query_string,
            "query_params": dict(request.query),
            "headers": headers,
            "body": body[:MAX_RECORDED_BODY].decode("utf-8", "replace"),
            "body_length": len(body),
            "body_complete": complete,
            "client_port": peer[1] if peer else None,
            "cert": self.active_cert,
            "fault": None,
            "response_status": None,
        })
        log.debug("%s %s%s (%d body bytes)", request.method, request.path,
                  "?" + request.query_string if request.query_string else "", len(body))
        self.notify_change()
        return entry

    # ------------------------------------------------------------ endpoints

    async def _token(self, request: web.Request) -> web.Response:
        """Client-credentials grant with a JSON body."""
        try:
            doc = json.loads(await request.read())
        except ValueError:
            return json_response(400, {"error": "invalid_request",
                                       "error_description": "body is not JSON"})
        if not isinstance(doc, dict):
            return json_response(400, {"error": "invalid_request"})
        if doc.get("grant_type") != "client_credentials":
            return json_response(400, {"error": "unsupported_grant_type"})
        if (doc.get("client_id") != self.config.client_id
                or doc.get("client_secret") != self.config.client_secret):
            return json_response(401, {"error": "invalid_client"})
        answer: dict[str, Any] = {
            "access_token": self.tokens.issue(self.config.expires_in),
            "token_type": "Bearer",
        }
        if self.config.expires_in is not None:
            answer["expires_in"] = self.config.expires_in
        return json_response(200, answer)

    async def _status(self, request: web.Request) -> web.Response:
        return json_response(200, {"status": "ok", "server_time": utc_now_text()})

    async def _doors(self, request: web.Request) -> web.Response:
        return json_response(200, {"doors": self.site.doors})

    async def _handhelds(self, request: web.Request) -> web.Response:
        return json_response(200, {"handhelds": self.site.handhelds})

    async def _panel_readers(self, request: web.Request) -> web.Response:
        panel = _panel_number(request)
        return json_response(200, {"readers": self.site.panel_readers(panel)})

    async def _connected_readers(self, request: web.Request) -> web.Response:
        return json_response(200, {"connected_readers": self.site.connected})

    async def _pending(self, request: web.Request) -> web.Response:
        text = self.activities.batch(_panel_number(request), self.config.batch_size)
        return web.Response(status=200, text=text, content_type="application/json")

    async def _batch_processed(self, request: web.Request) -> web.Response:
        try:
            ids = parse_ids(request.query.get("ids", ""))
        except ValueError as exc:
            return json_response(400, {"error": "invalid_ids", "error_description": str(exc)})
        mark = self.activities.mark(ids)
        if log.isEnabledFor(logging.INFO):
            log.info("marked processed: %s", ",".join(map(str, ids)))
        self.notify_change()
        return json_response(200, {"processed": len(mark["marked"]), "unknown": mark["unknown"]})

    async def _events(self, request: web.Request) -> web.StreamResponse:
        """The event channel: the token travels in the query string."""
        if not self.tokens.valid(request.query.get("access_token", "")):
            return json_response(401, {"error": "invalid_token"})
        ws = web.WebSocketResponse(autoclose=False, autoping=True, compress=False)
        if not ws.can_prepare(request).ok:
            return json_response(400, {"error": "websocket_upgrade_required"})
        await ws.prepare(request)
        client = WsClient(self._next_ws_id, request, ws)
        self._next_ws_id += 1
        self.ws_clients[client.id] = client
        log.info("event channel %d opened", client.id)
        self.notify_change()
        try:
            await self._serve_channel(client)
        finally:
            self.ws_clients.pop(client.id, None)
            cut_connection(request.transport, "close")
            log.info("event channel %d closed", client.id)
            self.notify_change()
        return ws

    async def _serve_channel(self, client: WsClient) -> None:
        """Read what the client sends until the channel ends."""
        while True:
            message = await client.ws.receive()
            if message.type == WSMsgType.CLOSE:
                client.received.append({"type": "close", "code": message.data})
                await self._finish_close(client, message.data)
                return
            if message.type in (WSMsgType.CLOSING, WSMsgType.CLOSED, WSMsgType.ERROR):
                return
            if len(client.received) < MAX_CLIENT_MESSAGES:
                data = message.data
                client.received.append({"type": message.type.name.lower(),
                                        "data": data if isinstance(data, str) else repr(data)})
            self.notify_change()

    async def _finish_close(self, client: WsClient, code: Any) -> None:
        """Complete (or deliberately withhold) the closing handshake."""
        if not client.close_sent:
            if not self.config.ws_answer_client_close:
                log.info("event channel %d: holding the client's close unanswered", client.id)
                await self.hold(client.request, None)
                return
            client.write(wsframes.encode_close(code if isinstance(code, int) else 1000))
        cut_connection(client.transport, "close")


def _panel_number(request: web.Request) -> int:
    text = request.match_info["panel"]
    if not re.fullmatch(r"-?\d+", text):
        raise web.HTTPNotFound(text=compact_json({"error": "unknown panel"}),
                               content_type="application/json")
    return int(text)
