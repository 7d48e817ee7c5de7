"""The simulated server's data: site, pending activities, tokens, faults, request log.

Nothing here does I/O; the HTTP layers read and change this state from the
one event-loop thread, so it needs no locks. Records that go on the wire are
kept as plain dicts exactly as they were loaded, so a test can give a member
a wrong type on purpose and the client sees it unchanged.
"""

from __future__ import annotations

import itertools
import json
import re
import secrets
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Iterator, Optional

# Members of a pending activity, with the value a new one gets when the
# control call does not set it (badge and alarm records differ slightly).
BADGE_DEFAULTS: dict[str, Any] = {
    "activity_type": 1,
    "badge_no": 0,
    "reader_external_id": "",
    "door_name": "",
    "reader_name": "",
    "timestamp": None,  # filled with the current UTC time
    "entry_granted": False,
    "notes": "",
}
ALARM_DEFAULTS: dict[str, Any] = {
    "activity_type": 3,
    "badge_no": 0,
    "reader_external_id": "",
    "door_name": "",
    "reader_name": "",
    "timestamp": None,
    "source_type": 4,
    "alarm_description": "",
    "alarm_full_text": "",
}

MAX_RECORDED_REQUESTS = 20000
MAX_RECORDED_BODY = 65536

_LEADING_INT = re.compile(r"\s*([+-]?\d+)")


class ControlError(Exception):
    """A control request that cannot be carried out; becomes an HTTP error."""

    def __init__(self, message: str, status: int = 400):
        super().__init__(message)
        self.status = status


def utc_now_text() -> str:
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def compact_json(value: Any) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def _leading_int(text: str) -> Optional[int]:
    """Read a decimal the way the client does: blanks, sign, digits, then stop."""
    match = _LEADING_INT.match(text)
    if not match:
        return None
    value = int(match.group(1))
    return value if -2**31 <= value < 2**31 else None


def parse_external_id(text: Any) -> Optional[tuple[int, int]]:
    """Split "panel:reader" by the client's rules; None when it would reject it."""
    if not isinstance(text, str) or ":" not in text:
        return None
    panel_text, reader_text = text.split(":", 1)
    panel, reader = _leading_int(panel_text), _leading_int(reader_text)
    if panel is None or reader is None:
        return None
    return panel, reader


def _require_int(args: dict, key: str, default: Any = None) -> Any:
    value = args.get(key, default)
    if value is not None and (not isinstance(value, int) or isinstance(value, bool)):
        raise ControlError(f'"{key}" must be an integer')
    return value


# ---------------------------------------------------------------- site

@dataclass
class Site:
    """Doors, handhelds, readers per panel, and which handhelds are connected."""

    doors: list[dict] = field(default_factory=list)
    handhelds: list[dict] = field(default_factory=list)
    readers: list[tuple[int, dict]] = field(default_factory=list)  # (panel, record)
    connected: list[dict] = field(default_factory=list)  # connected-reader entries

    @staticmethod
    def from_control(args: dict) -> "Site":
        site = Site()
        site.doors = _dict_list(args.get("doors", []), "doors")
        site.handhelds = _dict_list(args.get("handhelds", []), "handhelds")
        site.readers = _panel_readers(args.get("readers", []))
        for key in args.get("connected", []):
            site.connected.append(site.connected_entry(site.find_handheld(key)))
        return site

    def describe(self) -> dict:
        panels: dict[str, list] = {}
        for panel, reader in self.readers:
            panels.setdefault(str(panel), []).append(reader)
        return {"doors": self.doors, "handhelds": self.handhelds,
                "readers": panels, "connected_readers": self.connected}

    def panel_readers(self, panel: int) -> list[dict]:
        return [reader for p, reader in self.readers if p == panel]

    def find_handheld(self, key: Any) -> dict:
        """A handheld by id (integer) or guid (string)."""
        field_name = "guid" if isinstance(key, str) else "id"
        for handheld in self.handhelds:
            if handheld.get(field_name) == key:
                return handheld
        raise ControlError(f"no handheld with {field_name} {key!r}", 404)

    def find_reader(self, external_id: str) -> Optional[dict]:
        for _, reader in self.readers:
            if reader.get("external_id") == external_id:
                return reader
        return None

    def find_door(self, door_id: Any) -> Optional[dict]:
        for door in self.doors:
            if door.get("id") == door_id:
                return door
        return None

    @staticmethod
    def connected_entry(handheld: dict) -> dict:
        """What "/connected-readers" lists for a connected handheld."""
        return {key: handheld[key]
                for key in ("id", "name", "guid", "door_id", "external_id")
                if key in handheld}

    def is_connected(self, handheld: dict) -> bool:
        return any(entry.get("id") == handheld.get("id") for entry in self.connected)

    def connect(self, handheld: dict) -> dict:
        entry = self.connected_entry(handheld)
        if not self.is_connected(handheld):
            self.connected.append(entry)
        return entry

    def disconnect(self, handheld: dict) -> bool:
        before = len(self.connected)
        self.connected = [e for e in self.connected if e.get("id") != handheld.get("id")]
        return len(self.connected) != before

    def move_to_door(self, handheld: dict, door_id: int) -> Any:
        """Reassign a handheld, its panel reader (same guid) and its connection entry."""
        old = handheld.get("door_id", 0)
        handheld["door_id"] = door_id
        for _, reader in self.readers:
            if reader.get("guid") == handheld.get("guid"):
                reader["door_id"] = door_id
        for entry in self.connected:
            if entry.get("id") == handheld.get("id"):
                entry["door_id"] = door_id
        return old


def _dict_list(value: Any, name: str) -> list[dict]:
    if not isinstance(value, list) or not all(isinstance(v, dict) for v in value):
        raise ControlError(f'"{name}" must be a list of objects')
    return [dict(v) for v in value]


def _panel_readers(value: Any) -> list[tuple[int, dict]]:
    """Readers given per panel ({"1": [...]}) or as one list keyed by external id."""
    result: list[tuple[int, dict]] = []
    if isinstance(value, dict):
        for panel_text, readers in value.items():
            panel = _leading_int(str(panel_text))
            if panel is None:
                raise ControlError(f"bad panel number {panel_text!r} in readers")
            result += [(panel, r) for r in _dict_list(readers, "readers")]
        return result
    for reader in _dict_list(value, "readers"):
        parsed = parse_external_id(reader.get("external_id"))
        if parsed is None:
            raise ControlError(
                "a reader in a plain list needs an external id \"panel:reader\"; "
                "give readers per panel for other ids")
        result.append((parsed[0], reader))
    return result


# ---------------------------------------------------------------- activities

@dataclass
class PendingActivity:
    """One activity as it will appear in a batch: its id, panel and exact JSON text."""

    adm_id: Any
    panel: int
    text: str
    added_at: float
    arrival: int = 0  # set when added: its place in arrival order

    def describe(self) -> dict:
        try:
            record: Any = json.loads(self.text)
        except ValueError:
            record = None
        return {"adm_id": self.adm_id, "panel": self.panel,
                "record": record, "text": self.text}


def _id_key(adm_id: Any) -> Any:
    """The id as a dict key, or None for an id that is None or cannot be hashed."""
    if adm_id is None:
        return None
    try:
        hash(adm_id)
    except TypeError:
        return None
    return adm_id


class Activities:
    """Pending activities per panel, in arrival order, and what was marked processed.

    Pending ones are indexed by arrival, by panel and by id, so a backlog of
    tens of thousands costs a batch or a mark no more than a handful does.
    Ids compare as Python values (1, 1.0 and True are the same id).
    """

    def __init__(self) -> None:
        self.processed: list[dict] = []
        self.marks: list[dict] = []
        self.next_id = 1001
        self._arrived: dict[int, PendingActivity] = {}
        self._by_panel: dict[int, dict[int, PendingActivity]] = {}
        self._by_id: dict[Any, int] = {}
        self._unhashable: dict[int, PendingActivity] = {}  # ids such as lists, compared one by one
        self._next_arrival = 0

    @property
    def pending(self) -> list[PendingActivity]:
        return list(self._arrived.values())

    def build(self, args: dict, site: Site) -> PendingActivity:
        """Turn one control description into a pending activity (not yet added)."""
        if "raw" in args:
            return self._build_raw(args)
        kind = args.get("kind", "badge")
        if kind not in ("badge", "alarm"):
            raise ControlError('"kind" must be "badge" or "alarm"')
        record = {"adm_id": args["adm_id"] if "adm_id" in args else self._take_id()}
        record.update(ALARM_DEFAULTS if kind == "alarm" else BADGE_DEFAULTS)
        _fill_names(record, args, site)
        for key, value in args.items():
            if key not in ("kind", "panel", "omit"):
                record[key] = value
        if record.get("timestamp") is None and "timestamp" not in args:
            record["timestamp"] = utc_now_text()
        for key in args.get("omit", []):
            record.pop(key, None)
        panel = args.get("panel")
        if panel is None:
            parsed = parse_external_id(record.get("reader_external_id"))
            panel = parsed[0] if parsed else 0
        return PendingActivity(record.get("adm_id"), _checked_panel(panel),
                               compact_json(record), time.time())

    def _build_raw(self, args: dict) -> PendingActivity:
        """An activity given as literal text, valid JSON or not."""
        raw = args["raw"]
        if not isinstance(raw, str):
            raise ControlError('"raw" must be a string holding the literal JSON text')
        adm_id = args.get("adm_id")
        panel = args.get("panel")
        try:
            parsed = json.loads(raw)
        except ValueError:
            parsed = None
        if isinstance(parsed, dict):
            adm_id = parsed.get("adm_id") if adm_id is None else adm_id
            if panel is None:
                ext = parse_external_id(parsed.get("reader_external_id"))
                panel = ext[0] if ext else None
        if panel is None:
            raise ControlError('a raw activity needs "panel" when its text does not name one')
        return PendingActivity(adm_id, _checked_panel(panel), raw, time.time())

    def _is_pending(self, adm_id: Any) -> bool:
        key = _id_key(adm_id)
        if key is not None:
            return key in self._by_id
        return adm_id is not None and any(a.adm_id == adm_id for a in self._unhashable.values())

    def _take_id(self) -> int:
        while self._is_pending(self.next_id):
            self.next_id += 1
        value = self.next_id
        self.next_id += 1
        return value

    def add(self, activity: PendingActivity) -> None:
        if self._is_pending(activity.adm_id):
            raise ControlError(f"activity {activity.adm_id!r} is already pending", 409)
        activity.arrival = self._next_arrival
        self._next_arrival += 1
        self._arrived[activity.arrival] = activity
        self._by_panel.setdefault(activity.panel, {})[activity.arrival] = activity
        key = _id_key(activity.adm_id)
        if key is not None:
            self._by_id[key] = activity.arrival
        elif activity.adm_id is not None:
            self._unhashable[activity.arrival] = activity

    def discard(self, activity: PendingActivity) -> None:
        """Take one pending activity back out, as if it had never been added."""
        if self._arrived.pop(activity.arrival, None) is None:
            return
        mine = self._by_panel.get(activity.panel, {})
        mine.pop(activity.arrival, None)
        if not mine:
            self._by_panel.pop(activity.panel, None)
        key = _id_key(activity.adm_id)
        if key is not None and self._by_id.get(key) == activity.arrival:
            del self._by_id[key]
        self._unhashable.pop(activity.arrival, None)

    def clear(self) -> int:
        """Drop every pending activity; says how many there were."""
        count = len(self._arrived)
        self._arrived.clear()
        self._by_panel.clear()
        self._by_id.clear()
        self._unhashable.clear()
        return count

    def batch(self, panel: int, size: int) -> str:
        """The "/pending_activities/N" body: the first `size` pending ones of the panel."""
        mine = self._by_panel.get(panel, {})
        chosen = list(itertools.islice(mine.values(), size))
        return ('{"activities":[' + ",".join(a.text for a in chosen) +
                '],"remaining_count":' + str(len(mine) - len(chosen)) + "}")

    def mark(self, ids: list[int]) -> dict:
        """Move the named activities to the processed list; unknown ids are noted."""
        found = sorted({self._by_id[i] for i in set(ids) if i in self._by_id})
        marked = [self._arrived[arrival] for arrival in found]  # in arrival order
        known = [a.adm_id for a in marked]
        now = time.time()
        for activity in marked:
            self.processed.append({"adm_id": activity.adm_id, "panel": activity.panel,
                                   "text": activity.text, "marked_at": now})
            self.discard(activity)
        unknown = [i for i in ids if i not in known]
        mark = {"ids": ids, "marked": known, "unknown": unknown, "time": now}
        self.marks.append(mark)
        return mark

    def pending_count(self, panel: Optional[int] = None) -> int:
        if panel is None:
            return len(self._arrived)
        return len(self._by_panel.get(panel, {}))

    def describe(self) -> dict:
        return {
            "pending": [a.describe() for a in self._arrived.values()],
            "processed": self.processed,
            "marks": self.marks,
            "pending_count": len(self._arrived),
            "processed_ids": [p["adm_id"] for p in self.processed],
        }


def _checked_panel(panel: Any) -> int:
    if not isinstance(panel, int) or isinstance(panel, bool):
        raise ControlError('"panel" must be an integer')
    return panel


def _fill_names(record: dict, args: dict, site: Site) -> None:
    """Default the reader and door names from the site, as the server would."""
    reader = site.find_reader(args.get("reader_external_id", ""))
    if reader is None:
        return
    record["reader_name"] = reader.get("name", "")
    door = site.find_door(reader.get("door_id"))
    if door is not None:
        record["door_name"] = door.get("name", "")


def parse_ids(text: str) -> list[int]:
    """The "ids" query value: decimal integers joined by commas, nothing else."""
    parts = text.split(",")
    if not text or not all(re.fullmatch(r"-?\d+", part) for part in parts):
        raise ValueError(f"malformed ids {text!r}")
    return [int(part) for part in parts]


# ---------------------------------------------------------------- tokens

@dataclass
class Tokens:
    """Issued bearer tokens and when each stops being accepted."""

    expiry: dict[str, Optional[float]] = field(default_factory=dict)
    issued: int = 0

    def issue(self, lifetime_s: Optional[int]) -> str:
        token = secrets.token_urlsafe(32)
        self.expiry[token] = (time.monotonic() + lifetime_s
                              if lifetime_s and lifetime_s > 0 else None)
        self.issued += 1
        return token

    def valid(self, token: str) -> bool:
        if token not in self.expiry:
            return False
        limit = self.expiry[token]
        if limit is not None and time.monotonic() >= limit:
            del self.expiry[token]
            return False
        return True

    def revoke_all(self) -> int:
        count = len(self.expiry)
        self.expiry.clear()
        return count


# ---------------------------------------------------------------- faults

FAULT_ACTIONS = ("respond", "pass", "hang", "drop_mid_body", "close", "reset",
                 "drip", "oversized", "endless", "stall_after_headers")
# Answers that begin normally and then go wrong on the wire, one piece at a time.
STREAMING_ACTIONS = ("drip", "oversized", "endless", "stall_after_headers")
FAULT_FIELDS = {"path", "match", "method", "count", "action", "status", "body",
                "content_type", "headers", "delay_ms", "cut_mode",
                "interval_ms", "drip_bytes", "size_bytes", "announce_length",
                "chunk_bytes", "stall_after_bytes"}
# The fields only some actions read, and those actions: given with another
# action they would silently do nothing, so they are refused.
ACTION_FIELDS = {
    "interval_ms": ("drip", "endless"),
    "drip_bytes": ("drip",),
    "size_bytes": ("oversized",),
    "announce_length": ("oversized",),
    "chunk_bytes": ("oversized", "endless"),
    "stall_after_bytes": ("stall_after_headers",),
}
DEFAULT_INTERVAL_MS = {"drip": 500, "endless": 0}
DEFAULT_CHUNK_BYTES = 65536
MAX_CHUNK_BYTES = 1024 * 1024

# What "oversized" and "endless" send: the start of a JSON object whose array
# never closes, then 32-byte string items, cut off wherever the body ends.
FILLER_PREFIX = b'{"items":['
FILLER_ITEM = b'"' + b"x" * 29 + b'",'


def filler_chunks(chunk_bytes: int, total: Optional[int]) -> Iterator[bytes]:
    """FILLER_PREFIX then FILLER_ITEM repeated, in chunks; `total` bytes, or for ever.

    Only one chunk's worth of filler is ever built, however long the body.
    """
    period = len(FILLER_ITEM)
    block = FILLER_ITEM * (chunk_bytes // period + 2)
    head = FILLER_PREFIX + block[: max(chunk_bytes - len(FILLER_PREFIX), 0)]
    position = 0  # bytes yielded so far
    while total is None or position < total:
        size = chunk_bytes if total is None else min(chunk_bytes, total - position)
        if position < len(head):
            chunk = head[position: position + size]
            if len(chunk) < size:  # chunks smaller than the prefix: go on into the filler
                chunk += block[: size - len(chunk)]
        else:
            start = (position - len(FILLER_PREFIX)) % period
            chunk = block[start: start + size]
        position += len(chunk)
        yield chunk


@dataclass
class Fault:
    """What to do instead of (or before) the normal answer to matching requests."""

    id: int
    path: str
    match: str = "exact"  # "exact" or "prefix", on the path without the query
    method: Optional[str] = None
    remaining: Optional[int] = 1  # None: every matching request
    action: str = "respond"
    status: Optional[int] = None  # None: 200 for "respond", the normal status otherwise
    body: Optional[str] = None
    content_type: str = "application/json"
    headers: dict = field(default_factory=dict)
    delay_ms: int = 0
    cut_mode: str = "close"  # how drop_mid_body (or a released streaming answer) ends
    interval_ms: Optional[int] = None  # drip, endless: pause before each piece
    drip_bytes: Optional[int] = None  # drip: bytes per piece
    size_bytes: Optional[int] = None  # oversized: body length
    announce_length: Optional[bool] = None  # oversized: Content-Length, or chunked
    chunk_bytes: Optional[int] = None  # oversized, endless: bytes per write
    stall_after_bytes: Optional[int] = None  # stall_after_headers: body bytes sent
    hits: int = 0

    @staticmethod
    def from_control(fault_id: int, args: dict) -> "Fault":
        unknown = set(args) - FAULT_FIELDS
        if unknown:  # most likely a misspelt field that would silently do nothing
            raise ControlError(f"unknown fault fields: {', '.join(sorted(unknown))}")
        path = args.get("path")
        if not isinstance(path, str) or not path.startswith("/"):
            raise ControlError('"path" must be a path beginning with "/"')
        count = _require_int(args, "count", 1)
        fault = Fault(id=fault_id, path=path)
        fault.match = args.get("match", "exact")
        fault.method = args.get("method")
        fault.remaining = None if count is None or count <= 0 else count
        fault.status = _require_int(args, "status")
        fault.body = args.get("body")
        fault.content_type = args.get("content_type", "application/json")
        fault.headers = args.get("headers", {})
        fault.delay_ms = _require_int(args, "delay_ms", 0)
        fault.cut_mode = args.get("cut_mode", "close")
        explicit = "status" in args or "body" in args
        fault.action = args.get("action", "respond" if explicit else "pass")
        for key, actions in ACTION_FIELDS.items():
            if key in args and fault.action not in actions:
                raise ControlError(f'"{key}" applies only to action {" or ".join(actions)}')
        if fault.action in ("oversized", "endless") and "body" in args:
            raise ControlError(f'"body" does not apply to action {fault.action}')
        if fault.action == "drip":
            fault.interval_ms = _require_int(args, "interval_ms", DEFAULT_INTERVAL_MS["drip"])
            fault.drip_bytes = _require_int(args, "drip_bytes", 1)
        elif fault.action == "oversized":
            fault.size_bytes = _require_int(args, "size_bytes")
            fault.announce_length = args.get("announce_length", True)
            fault.chunk_bytes = _require_int(args, "chunk_bytes", DEFAULT_CHUNK_BYTES)
        elif fault.action == "endless":
            fault.interval_ms = _require_int(args, "interval_ms", DEFAULT_INTERVAL_MS["endless"])
            fault.chunk_bytes = _require_int(args, "chunk_bytes", DEFAULT_CHUNK_BYTES)
        elif fault.action == "stall_after_headers":
            fault.stall_after_bytes = _require_int(args, "stall_after_bytes", 0)
        fault._check()
        return fault

    def _check(self) -> None:
        if self.match not in ("exact", "prefix"):
            raise ControlError('"match" must be "exact" or "prefix"')
        if self.action not in FAULT_ACTIONS:
            raise ControlError(f'"action" must be one of {", ".join(FAULT_ACTIONS)}')
        if self.cut_mode not in ("close", "reset"):
            raise ControlError('"cut_mode" must be "close" or "reset"')
        if not isinstance(self.headers, dict):
            raise ControlError('"headers" must be an object of header names and values')
        if self.body is not None and not isinstance(self.body, str):
            raise ControlError('"body" must be a string (the literal response text)')
        if self.action == "pass" and not self.delay_ms:
            raise ControlError("a fault needs a status, a body, a delay or an action")
        if self.interval_ms is not None and self.interval_ms < 0:
            raise ControlError('"interval_ms" must be 0 or more')
        if self.drip_bytes is not None and self.drip_bytes < 1:
            raise ControlError('"drip_bytes" must be at least 1')
        if self.action == "oversized" and (self.size_bytes is None or self.size_bytes < 1):
            raise ControlError('action oversized needs "size_bytes", a positive integer')
        if self.announce_length is not None and not isinstance(self.announce_length, bool):
            raise ControlError('"announce_length" must be true or false')
        if self.chunk_bytes is not None and not 1 <= self.chunk_bytes <= MAX_CHUNK_BYTES:
            raise ControlError(f'"chunk_bytes" must be from 1 to {MAX_CHUNK_BYTES}')
        if self.stall_after_bytes is not None and self.stall_after_bytes < 0:
            raise ControlError('"stall_after_bytes" must be 0 or more')
        if self.action in STREAMING_ACTIONS and self.status is not None and (
                self.status < 200 or self.status in (204, 304)):
            raise ControlError(f'action {self.action} sends a body: "status" cannot be '
                               f'{self.status}')

    def matches(self, method: str, path: str) -> bool:
        if self.method and self.method.upper() != method.upper():
            return False
        return path == self.path if self.match == "exact" else path.startswith(self.path)

    def describe(self) -> dict:
        return {"id": self.id, "path": self.path, "match": self.match,
                "method": self.method, "remaining": self.remaining,
                "action": self.action, "status": self.status, "body": self.body,
                "delay_ms": self.delay_ms, "cut_mode": self.cut_mode, "hits": self.hits,
                **self.stream_settings()}

    def stream_settings(self) -> dict:
        """The settings of a streaming action (drip, oversized, …); {} for the others."""
        return {key: getattr(self, key) for key, actions in ACTION_FIELDS.items()
                if self.action in actions}


@dataclass
class Faults:
    active: list[Fault] = field(default_factory=list)
    next_id: int = 1

    def add(self, args: dict) -> Fault:
        fault = Fault.from_control(self.next_id, args)
        self.next_id += 1
        self.active.append(fault)
        return fault

    def take(self, method: str, path: str) -> Optional[Fault]:
        """The first armed fault for this request, counted as used."""
        for fault in self.active:
            if fault.matches(method, path):
                fault.hits += 1
                if fault.remaining is not None:
                    fault.remaining -= 1
                    if fault.remaining <= 0:
                        self.active.remove(fault)
                return fault
        return None

    def clear(self) -> int:
        count = len(self.active)
        self.active.clear()
        return count


# ---------------------------------------------------------------- request log

@dataclass
class RequestLog:
    """Every request the TLS listener received, oldest first, bounded in size."""

    entries: list[dict] = field(default_factory=list)
    next_seq: int = 1

    def add(self, entry: dict) -> dict:
        entry["seq"] = self.next_seq
        self.next_seq += 1
        self.entries.append(entry)
        if len(self.entries) > MAX_RECORDED_REQUESTS:
            del self.entries[: len(self.entries) - MAX_RECORDED_REQUESTS]
        return entry

    def select(self, args: dict) -> list[dict]:
        path = args.get("path")
        prefix = args.get("path_prefix")
        method = args.get("method")
        since = int(args.get("since_seq", 0) or 0)
        answered = args.get("answered")  # JSON true/false or "1"/"0" from a query string
        if answered is not None:
            answered = answered is True or str(answered).lower() in ("1", "true", "yes")
        return [e for e in self.entries
                if (path is None or e["path"] == path)
                and (prefix is None or e["path"].startswith(prefix))
                and (method is None or e["method"].upper() == str(method).upper())
                and (answered is None or (e["response_status"] is not None) == answered)
                and e["seq"] > since]

    def clear(self) -> int:
        count = len(self.entries)
        self.entries.clear()
        return count
