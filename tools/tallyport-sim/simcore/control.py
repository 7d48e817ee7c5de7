"""The control interface: named actions, served as JSON over plain HTTP on loopback.

Each action is one function taking the arguments of the call as a dict. The
same table serves the HTTP routes, the generic "/action" call and the
scenario script, so a scenario step and a test's control call behave alike.
"""

from __future__ import annotations

import asyncio
import base64
import json
import logging
from dataclasses import dataclass
from typing import Any, Awaitable, Callable, Optional

from aiohttp import web

from . import wsframes
from .server import HOST, TallyportServer, json_response
from .state import ControlError, Site, compact_json

log = logging.getLogger("tallyport-sim")
MAX_CONTROL_BODY = 256 * 1024 * 1024

ActionFunc = Callable[["Control", dict], Awaitable[dict]]


@dataclass(frozen=True)
class Action:
    name: str
    method: str
    path: str
    func: ActionFunc


ACTIONS: dict[str, Action] = {}


def action(name: str, method: str, path: str) -> Callable[[ActionFunc], ActionFunc]:
    def register(func: ActionFunc) -> ActionFunc:
        ACTIONS[name] = Action(name, method, path, func)
        return func
    return register


class Control:
    """What the actions work on: the server, the shutdown signal, the scenario."""

    def __init__(self, server: TallyportServer, stop: asyncio.Event):
        self.server = server
        self.stop = stop
        self.scenario: Any = None  # a ScenarioRunner when --scenario was given
        self._runner: Optional[web.AppRunner] = None
        self.port = 0

    async def run_action(self, name: str, args: dict) -> dict:
        if name not in ACTIONS:
            raise ControlError(f"unknown action {name!r}", 404)
        return await ACTIONS[name].func(self, args)

    async def start(self, port: int) -> None:
        # A backlog of tens of thousands of activities is one call.
        app = web.Application(client_max_size=MAX_CONTROL_BODY)
        for item in ACTIONS.values():
            app.router.add_route(item.method, item.path, self._route(item))
        app.router.add_post("/action", self._generic)
        self._runner = web.AppRunner(app, handle_signals=False, access_log=None)
        await self._runner.setup()
        site = web.TCPSite(self._runner, HOST, port, shutdown_timeout=1.0)
        await site.start()
        self.port = self._runner.addresses[0][1]
        log.info("control on http://%s:%d", HOST, self.port)

    async def close(self) -> None:
        if self._runner:
            await self._runner.cleanup()

    def _route(self, item: Action) -> Callable[[web.Request], Awaitable[web.Response]]:
        async def handle(request: web.Request) -> web.Response:
            return await self._call(item.name, request)
        return handle

    async def _generic(self, request: web.Request) -> web.Response:
        return await self._call(None, request)

    async def _call(self, name: Optional[str], request: web.Request) -> web.Response:
        """Query string and JSON body together make the action's arguments."""
        args: dict = dict(request.query)
        body = await request.read()
        if body.strip():
            try:
                doc = json.loads(body)
            except ValueError:
                return json_response(400, {"error": "the body is not JSON"})
            if not isinstance(doc, dict):
                return json_response(400, {"error": "the body must be a JSON object"})
            args.update(doc)
        name = name or str(args.pop("action", ""))
        try:
            result = await self.run_action(name, args)
        except ControlError as exc:
            return json_response(exc.status, {"error": str(exc)})
        except (ValueError, TypeError, KeyError) as exc:  # an argument of the wrong kind
            return json_response(400, {"error": f"bad argument: {exc!r}"})
        status = result.pop("_status", 200)
        return json_response(status, result)


def _flag(value: Any) -> bool:
    """Query-string and JSON spellings of yes."""
    return value is True or str(value).lower() in ("1", "true", "yes")


def _timeout(args: dict, default_ms: int = 5000) -> float:
    return float(args.get("timeout_ms", default_ms)) / 1000


# ------------------------------------------------------------------ overview and reset

@action("state", "GET", "/state")
async def _state(ctl: Control, args: dict) -> dict:
    """A summary of the whole simulator."""
    srv = ctl.server
    return {
        "listening": srv.listening, "port": srv.port, "control_port": ctl.port,
        "active_cert": srv.active_cert, "tls_maximum": srv.tls_maximum, "ws_clients": len(srv.ws_clients),
        "pending_count": srv.activities.pending_count(),
        "processed_count": len(srv.activities.processed),
        "requests": len(srv.requests.entries), "faults": len(srv.faults.active),
        "tokens": len(srv.tokens.expiry), "config": srv.config.describe(),
    }


@action("reset", "POST", "/reset")
async def _reset(ctl: Control, args: dict) -> dict:
    """Site, activities, tokens, faults, log, settings and certificate back to the start."""
    ctl.server.reset_state()
    ctl.server.notify_change()
    return {"reset": True}


@action("get_config", "GET", "/config")
async def _get_config(ctl: Control, args: dict) -> dict:
    return ctl.server.config.describe()


@action("config", "POST", "/config")
async def _config(ctl: Control, args: dict) -> dict:
    """Change credentials, token lifetime, batch size and channel behaviour."""
    ctl.server.config.update(args)
    return ctl.server.config.describe()


@action("shutdown", "POST", "/shutdown")
async def _shutdown(ctl: Control, args: dict) -> dict:
    ctl.stop.set()
    return {"shutting_down": True}


@action("log", "POST", "/log")
async def _log(ctl: Control, args: dict) -> dict:
    """Write a line to the simulator's output (scenario narration)."""
    log.info("%s", args.get("message", ""))
    return {}


# ------------------------------------------------------------------ site and handhelds

@action("load_site", "POST", "/site")
async def _load_site(ctl: Control, args: dict) -> dict:
    """Replace doors, handhelds, readers per panel and the connected handhelds."""
    ctl.server.site = Site.from_control(args)
    ctl.server.notify_change()
    return ctl.server.site.describe()


@action("get_site", "GET", "/site")
async def _get_site(ctl: Control, args: dict) -> dict:
    return ctl.server.site.describe()


def _handheld(ctl: Control, args: dict) -> dict:
    key = args.get("guid", args.get("id"))
    if key is None:
        raise ControlError('name the handheld by "id" or "guid"')
    return ctl.server.site.find_handheld(key)


def _announce(ctl: Control, args: dict, kind: str, handheld: dict,
              members: tuple[str, ...], **extra: Any) -> int:
    """Tell event channel clients about a handheld change, unless "notify" is false."""
    ctl.server.notify_change()
    if not args.get("notify", True):
        return 0
    reader = {k: handheld[k] for k in members if k in handheld}
    reader.update(extra)
    return ctl.server.ws_send_json({"type": kind, "reader": reader})


@action("connect_handheld", "POST", "/handhelds/connect")
async def _connect_handheld(ctl: Control, args: dict) -> dict:
    """List a handheld as connected and announce it on the event channel."""
    handheld = _handheld(ctl, args)
    entry = ctl.server.site.connect(handheld)
    sent = _announce(ctl, args, "reader_connected", handheld,
                     ("guid", "name", "id", "door_id", "external_id"))
    log.info("handheld %s connected", handheld.get("name", handheld.get("id")))
    return {"connected": entry, "sent_to": sent}


@action("disconnect_handheld", "POST", "/handhelds/disconnect")
async def _disconnect_handheld(ctl: Control, args: dict) -> dict:
    handheld = _handheld(ctl, args)
    was = ctl.server.site.disconnect(handheld)
    sent = _announce(ctl, args, "reader_disconnected", handheld, ("guid", "name", "id"))
    log.info("handheld %s disconnected", handheld.get("name", handheld.get("id")))
    return {"was_connected": was, "sent_to": sent}


@action("change_door", "POST", "/handhelds/door")
async def _change_door(ctl: Control, args: dict) -> dict:
    """Move a handheld (and its panel reader) to another door."""
    handheld = _handheld(ctl, args)
    door_id = args.get("door_id")
    if not isinstance(door_id, int) or isinstance(door_id, bool):
        raise ControlError('"door_id" must be an integer')
    old = ctl.server.site.move_to_door(handheld, door_id)
    sent = _announce(ctl, args, "reader_door_changed", handheld, ("guid", "id", "name"),
                     old_door_id=old, new_door_id=door_id)
    log.info("handheld %s moved from door %s to %s", handheld.get("name"), old, door_id)
    return {"old_door_id": old, "new_door_id": door_id, "sent_to": sent}


# ------------------------------------------------------------------ activities

@action("add_activities", "POST", "/activities")
async def _add_activities(ctl: Control, args: dict) -> dict:
    """Queue badge and alarm activities (or raw text) and announce them."""
    srv = ctl.server
    items = args["activities"] if "activities" in args else [args]
    if not isinstance(items, list) or not all(isinstance(i, dict) for i in items):
        raise ControlError('"activities" must be a list of objects')
    added = []
    try:
        for item in items:
            activity = srv.activities.build({k: v for k, v in item.items() if k != "notify"},
                                            srv.site)
            srv.activities.add(activity)
            added.append(activity)
    except ControlError:
        for activity in added:
            srv.activities.discard(activity)
        raise
    notify = args.get("notify", srv.config.auto_notify_activities)
    sent = srv.ws_send_json({"type": "activities_available"}) if notify else 0
    srv.notify_change()
    if log.isEnabledFor(logging.INFO):
        log.info("added activities %s", ",".join(str(a.adm_id) for a in added))
    return {"added": [a.adm_id for a in added], "sent_to": sent}


@action("get_activities", "GET", "/activities")
async def _get_activities(ctl: Control, args: dict) -> dict:
    """Pending activities, the processed ones and every batch mark received."""
    return ctl.server.activities.describe()


@action("clear_pending", "POST", "/activities/clear")
async def _clear_pending(ctl: Control, args: dict) -> dict:
    count = ctl.server.activities.clear()
    ctl.server.notify_change()
    return {"cleared": count}


# ------------------------------------------------------------------ event channel

def _payload(args: dict) -> bytes:
    """The bytes of a message to push, from "json", "text" or "base64", padded to "size"."""
    given = [k for k in ("json", "text", "base64") if k in args]
    if len(given) > 1:
        raise ControlError('give at most one of "json", "text" and "base64"')
    size = args.get("size")
    if "text" in args:
        data = str(args["text"]).encode("utf-8")
    elif "base64" in args:
        data = base64.b64decode(args["base64"])
    elif "json" in args or size is not None:
        value = args.get("json", {"type": "heartbeat"})
        if size is not None and isinstance(value, dict):
            return _padded_json(value, int(size))
        data = compact_json(value).encode("utf-8")
    else:
        data = b""
    if size is not None:
        if not data:
            raise ControlError('"size" needs a non-empty payload to repeat')
        data = (data * (int(size) // len(data) + 1))[: int(size)]
    return data


def _padded_json(value: dict, size: int) -> bytes:
    """A valid JSON object of exactly `size` bytes, grown by a "padding" member."""
    base = compact_json({**value, "padding": ""}).encode("utf-8")
    if size < len(base):
        raise ControlError(f'"size" must be at least {len(base)} for this message')
    return compact_json({**value, "padding": "x" * (size - len(base))}).encode("utf-8")


@action("ws_send", "POST", "/ws/send")
async def _ws_send(ctl: Control, args: dict) -> dict:
    """Push any frame sequence: text, binary, fragments, empty, oversized, pings."""
    kind = args.get("kind", "text")
    fragments = int(args.get("fragments", 1))
    payload = _payload(args)
    if kind in wsframes.DATA_OPCODES:
        data = wsframes.encode_message(wsframes.DATA_OPCODES[kind], payload, fragments)
    elif kind in wsframes.CONTROL_OPCODES:
        if fragments != 1 or len(payload) > wsframes.CONTROL_PAYLOAD_LIMIT:
            raise ControlError("control frames cannot be fragmented or exceed 125 bytes")
        data = wsframes.encode_frame(wsframes.CONTROL_OPCODES[kind], payload)
    else:
        raise ControlError('"kind" must be text, binary, ping or pong')
    sent = ctl.server.ws_send_bytes(data, args.get("client"))
    return {"sent_to": sent, "bytes": len(payload)}


@action("ws_close", "POST", "/ws/close")
async def _ws_close(ctl: Control, args: dict) -> dict:
    """Send a close frame (status and reason) to event channel clients."""
    code = args.get("code", 1000)
    sent = ctl.server.ws_close(code, str(args.get("reason", "")), args.get("client"))
    return {"sent_to": sent}


@action("ws_clients", "GET", "/ws/clients")
async def _ws_clients(ctl: Control, args: dict) -> dict:
    clients = [c.describe() for c in ctl.server.ws_clients.values()]
    return {"count": len(clients), "clients": clients}


@action("refuse_upgrade", "POST", "/ws/refuse")
async def _refuse_upgrade(ctl: Control, args: dict) -> dict:
    """Answer the next event channel upgrades with a plain HTTP status."""
    fault = ctl.server.faults.add({
        "path": "/api/corvanta/events", "status": args.get("status", 401),
        "body": args.get("body", ""), "count": args.get("count", 1)})
    return fault.describe()


@action("drop_connections", "POST", "/connections/drop")
async def _drop_connections(ctl: Control, args: dict) -> dict:
    """Cut live TCP connections: "rest", "websocket" or "all"; "close" or "reset"."""
    return ctl.server.drop_connections(args.get("what", "all"), args.get("mode", "close"))


# ------------------------------------------------------------------ faults and tokens

@action("add_fault", "POST", "/faults")
async def _add_fault(ctl: Control, args: dict) -> dict:
    return ctl.server.faults.add(args).describe()


@action("list_faults", "GET", "/faults")
async def _list_faults(ctl: Control, args: dict) -> dict:
    return {"faults": [f.describe() for f in ctl.server.faults.active]}


@action("clear_faults", "POST", "/faults/clear")
async def _clear_faults(ctl: Control, args: dict) -> dict:
    """Disarm every fault and let requests held by "hang" go (their connections close)."""
    count = ctl.server.faults.clear()
    ctl.server.release_waiting()
    return {"cleared": count}


@action("revoke_tokens", "POST", "/tokens/revoke")
async def _revoke_tokens(ctl: Control, args: dict) -> dict:
    """Forget every issued token, so the next API call answers 401."""
    return {"revoked": ctl.server.tokens.revoke_all()}


# ------------------------------------------------------------------ certificate and listener

def _cert_report(ctl: Control) -> dict:
    srv = ctl.server
    return {"active": srv.active_cert, **{n: c.describe() for n, c in srv.certs.items()}}


@action("get_cert", "GET", "/cert")
async def _get_cert(ctl: Control, args: dict) -> dict:
    return _cert_report(ctl)


@action("use_cert", "POST", "/cert")
async def _use_cert(ctl: Control, args: dict) -> dict:
    """Present "primary" or "alternate" from the next handshake on.

    Live connections are cut by default: a kept-alive connection would
    otherwise go on with the old certificate and hide the change.
    """
    ctl.server.use_cert(str(args.get("use", "")))
    if args.get("drop_connections", True):
        ctl.server.drop_connections("all", "close")
    log.info("now presenting the %s certificate", ctl.server.active_cert)
    return _cert_report(ctl)


@action("tls_versions", "POST", "/tls")
async def _tls_versions(ctl: Control, args: dict) -> dict:
    """Offer only TLS 1.0 up to "maximum" ("1.0", "1.1") from the next handshake on; null: 1.2 and later.

    Live connections are cut by default, as for a certificate swap: a
    kept-alive connection would go on with the version it agreed.
    """
    ctl.server.limit_tls(args.get("maximum"))
    if args.get("drop_connections", True):
        ctl.server.drop_connections("all", "close")
    log.info("TLS versions now capped at %s", ctl.server.tls_maximum or "none (1.2 and later)")
    return {"maximum": ctl.server.tls_maximum}


@action("server_stop", "POST", "/server/stop")
async def _server_stop(ctl: Control, args: dict) -> dict:
    """Close the TLS port and cut its connections; the control port stays up."""
    await ctl.server.stop_listener(args.get("mode", "close"))
    ctl.server.notify_change()
    return {"listening": False, "port": ctl.server.port}


@action("server_start", "POST", "/server/start")
async def _server_start(ctl: Control, args: dict) -> dict:
    await ctl.server.start_listener()
    return {"listening": True, "port": ctl.server.port}


# ------------------------------------------------------------------ request log and waits

@action("get_requests", "GET", "/requests")
async def _get_requests(ctl: Control, args: dict) -> dict:
    """Recorded requests, filtered by path, path_prefix, method, since_seq; clear=1 empties."""
    selected = ctl.server.requests.select(args)
    if _flag(args.get("clear", False)):
        ctl.server.requests.clear()
    return {"requests": selected, "count": len(selected)}


@action("clear_requests", "POST", "/requests/clear")
async def _clear_requests(ctl: Control, args: dict) -> dict:
    return {"cleared": ctl.server.requests.clear()}


@action("wait_requests", "POST", "/wait/requests")
async def _wait_requests(ctl: Control, args: dict) -> dict:
    """Wait until at least "count" recorded requests match the filters."""
    count = int(args.get("count", 1))
    log_ = ctl.server.requests
    done = await ctl.server.wait_until(lambda: len(log_.select(args)) >= count, _timeout(args))
    selected = log_.select(args)
    return {"requests": selected, "count": len(selected), "timed_out": not done,
            "_status": 200 if done else 408}


@action("wait_ws_clients", "POST", "/wait/ws_clients")
async def _wait_ws_clients(ctl: Control, args: dict) -> dict:
    """Wait until exactly "count" event channels are open."""
    count = int(args.get("count", 1))
    srv = ctl.server
    done = await srv.wait_until(lambda: len(srv.ws_clients) == count, _timeout(args))
    return {"count": len(srv.ws_clients), "timed_out": not done, "_status": 200 if done else 408}


@action("wait_pending", "POST", "/wait/pending")
async def _wait_pending(ctl: Control, args: dict) -> dict:
    """Wait until at most "max" activities (of "panel", if given) are pending."""
    limit = int(args.get("max", 0))
    panel = args.get("panel")
    panel = int(panel) if panel is not None else None
    acts = ctl.server.activities
    done = await ctl.server.wait_until(lambda: acts.pending_count(panel) <= limit, _timeout(args))
    return {"pending_count": acts.pending_count(panel), "timed_out": not done,
            "_status": 200 if done else 408}


# ------------------------------------------------------------------ scenario

@action("scenario_status", "GET", "/scenario")
async def _scenario_status(ctl: Control, args: dict) -> dict:
    if ctl.scenario is None:
        return {"loaded": False}
    return ctl.scenario.status()


@action("scenario_start", "POST", "/scenario/start")
async def _scenario_start(ctl: Control, args: dict) -> dict:
    """Start a scenario that waits for the control call (its "start" is "control")."""
    if ctl.scenario is None:
        raise ControlError("no scenario was loaded", 404)
    ctl.scenario.trigger()
    return ctl.scenario.status()
