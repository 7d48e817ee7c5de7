"""What a soak run does, decided before it starts: the activities it feeds and
when, and the faults it arms and when. Everything comes from one reproducible random
generator, so a run can be repeated exactly with its run number.

An activity is identified at the host by its badge number, which is unique per
activity (alarms carry one too), and each one knows the host record it must
become: panel, reader, event codes and, for alarms, the text.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field
from typing import Any, Optional

# The translator gives up on a response after this long, so an answer held
# longer reaches nobody.
CLIENT_RESPONSE_TIMEOUT_S = 30

FIRST_ADM_ID = 100001
FIRST_BADGE = 5_000_000_001  # beyond 32 bits: the whole number must reach the host
READERS_PER_PANEL = 4

API = "/api/corvanta"
TOKEN_PATH = "/auth/token"
FETCH_PATH = API + "/pending_activities/"
MARK_PATH = API + "/activities/batch_processed"

# The simulator's control paths the faults are made with.
ARM_FAULT = "/faults"
CLEAR_FAULTS = "/faults/clear"
REVOKE_TOKENS = "/tokens/revoke"
CLOSE_WEBSOCKET = "/ws/close"
DROP_CONNECTIONS = "/connections/drop"
STOP_SERVER = "/server/stop"
START_SERVER = "/server/start"


@dataclass(frozen=True)
class Kind:
    """One kind of activity in the mix and the host codes it must arrive with."""
    name: str
    weight: int
    alarm: bool
    event_type: int
    event_id: int
    fields: tuple = ()           # members of the activity besides ids, reader and badge
    full_text: Optional[str] = None  # alarms: "alarm_full_text", {badge} filled in
    text_prefix: Optional[str] = None  # alarms without a full text: how the translator's text starts


KINDS = (
    Kind("granted", 45, False, 0, 0, (("entry_granted", True), ("notes", "Welcome"))),
    Kind("expired", 8, False, 1, 63, (("notes", "Badge Expired"),)),
    Kind("access denied", 8, False, 1, 65, (("notes", "Access Denied"),)),
    Kind("anti-passback", 5, False, 3, 0, (("notes", "Anti-Passback violation"),)),
    Kind("not at this time", 4, False, 1, 24, (("notes", "Not at this time"),)),
    Kind("user not found", 4, False, 1, 71, (("notes", "User Not Found"),)),
    Kind("lost", 3, False, 1, 8, (("notes", "Lost badge"),)),
    Kind("facility code", 3, False, 1, 3, (("notes", "Invalid Facility Code"),)),
    Kind("panic", 8, True, 2, 3, (("source_type", 4),), full_text="Soak panic alarm, badge {badge}"),
    Kind("muster", 6, True, 30, 2, (("source_type", 1),), text_prefix="Muster Alarm: Badge {badge} at "),
    Kind("battery", 6, True, 30, 2, (("source_type", 6),), full_text="Soak battery alert, badge {badge}"),
)


@dataclass
class Activity:
    adm_id: int
    badge: int
    panel: int
    reader: int
    kind: Kind
    at_s: float  # when it is added, from the start of feeding

    def record(self) -> dict:
        """The add_activities description the simulator turns into the server record."""
        record: dict[str, Any] = {
            "kind": "alarm" if self.kind.alarm else "badge",
            "adm_id": self.adm_id,
            "badge_no": self.badge,
            "reader_external_id": f"{self.panel}:{self.reader}",
        }
        record.update(dict(self.kind.fields))
        if self.kind.full_text is not None:
            record["alarm_full_text"] = self.kind.full_text.format(badge=self.badge)
        return record

    def expected_text(self) -> tuple[str, bool]:
        """The alarm text the host must get, and whether that is its whole text
        (False: only its beginning, the rest names the door and the time)."""
        if self.kind.full_text is not None:
            return self.kind.full_text.format(badge=self.badge), True
        if self.kind.text_prefix is not None:
            return self.kind.text_prefix.format(badge=self.badge), False
        return "", True


@dataclass
class Step:
    """One control call (POST to the simulator's control path) at its time;
    `label` names the fault it stands for."""
    at_s: float
    label: str
    path: str
    args: dict = field(default_factory=dict)
    in_outage: bool = False  # taken while the server is down; every other step waits for the translator to be back

    @property
    def arms_fault(self) -> bool:
        return self.path == ARM_FAULT


@dataclass(frozen=True)
class HostKill:
    """The host process ended as TerminateProcess would end it (SIGKILL of its
    Wine process) at its time; `in_callback`: not at once but as soon as a
    card record's call-back is under way, which host-sim holds for the purpose."""
    at_s: float
    in_callback: bool


@dataclass(frozen=True)
class Profile:
    activities: int
    duration_s: float
    token_lifetime_s: Optional[int]  # shorter tokens make proactive renewals happen
    mark_failures: int               # 500 and 503 answers to marks
    fetch_failures: int
    fetch_delays: int
    fetch_delay_ms: int
    token_failures: int              # each: a failing token answer, then revoked tokens
    mark_cuts: int                   # mark answers cut mid-body
    mark_cut_mode: str               # "close": orderly, the TLS close can take 30 s; "reset": at once
    late_marks: int                  # marks answered after the translator gave up
    websocket_drops: int
    server_restarts: int
    outage_s: float
    host_kills: int = 0              # host processes ended from outside, half of them inside a call-back


HOST_KILLS = {"full": 20, "quick": 4, "slice": 1}


def profile(name: str, activities: Optional[int] = None, duration_s: Optional[float] = None,
            host_kills: Optional[int] = None) -> Profile:
    """The named profile, its size scaled to the given number of activities."""
    base = {"full": (10000, 420.0), "quick": (2000, 40.0), "slice": (300, 8.0)}[name]
    n = activities if activities is not None else base[0]
    duration = duration_s if duration_s is not None else base[1]
    kills = host_kills if host_kills is not None else HOST_KILLS[name]
    if name == "slice":
        # Every fault that recovers within seconds; no outage and no 31 s mark.
        return Profile(n, duration, None, max(2, n // 75), max(1, n // 500), 1, 2000,
                       2, 1, "reset", 0, 1, 0, 0.0, kills)
    return Profile(n, duration, 90 if name == "full" else 40, max(4, n // 75), max(2, n // 500),
                   5 if name == "full" else 2, 4000, 5 if name == "full" else 3,
                   1, "close" if name == "full" else "reset", 1, 3 if name == "full" else 2, 1,
                   8.0 if name == "full" else 5.0, kills)


def activities(prof: Profile, panels: list[int], rng: random.Random) -> list[Activity]:
    """N activities spread evenly over the feeding time, panels in turn."""
    weights = [kind.weight for kind in KINDS]
    result = []
    for i in range(prof.activities):
        kind = rng.choices(KINDS, weights)[0]
        result.append(Activity(FIRST_ADM_ID + i, FIRST_BADGE + i, panels[i % len(panels)],
                               1 + rng.randrange(READERS_PER_PANEL), kind,
                               prof.duration_s * i / max(1, prof.activities)))
    return result


def faults(prof: Profile, rng: random.Random) -> list[Step]:
    """Every fault of the profile at a random time within the feeding window,
    sorted by time. The outage comes early, and the late mark is armed as the
    server comes back, so that the first mark after the reconnection is the
    one held (an outage during the hold would cut it short). The runner holds
    back the other faults until the translator is back after the outage: a
    failing token answer meeting the reconnection would only add a reconnect
    interval."""
    window = (0.05 * prof.duration_s, 0.9 * prof.duration_s)

    def at() -> float:
        return rng.uniform(*window)

    steps: list[Step] = []
    for i in range(prof.mark_failures):
        status = 500 if i % 2 == 0 else 503
        steps.append(Step(at(), f"mark {status}", ARM_FAULT,
                          {"path": MARK_PATH, "status": status, "body": '{"error":"unavailable"}'}))
    for _ in range(prof.fetch_failures):
        steps.append(Step(at(), "fetch 500", ARM_FAULT,
                          {"path": FETCH_PATH, "match": "prefix", "status": 500, "body": "{}"}))
    for _ in range(prof.fetch_delays):
        steps.append(Step(at(), f"fetch delayed {prof.fetch_delay_ms / 1000:g} s", ARM_FAULT,
                          {"path": FETCH_PATH, "match": "prefix", "delay_ms": prof.fetch_delay_ms}))
    for i in range(prof.token_failures):
        when = at()
        status = 500 if i % 2 == 0 else 401
        body = '{"error":"server_error"}' if status == 500 else '{"error":"invalid_client"}'
        steps.append(Step(when, f"token {status}", ARM_FAULT,
                          {"path": TOKEN_PATH, "status": status, "body": body}))
        steps.append(Step(when, "tokens revoked", REVOKE_TOKENS))
    for _ in range(prof.mark_cuts):
        steps.append(Step(at(), "mark cut mid-body", ARM_FAULT,
                          {"path": MARK_PATH, "action": "drop_mid_body", "cut_mode": prof.mark_cut_mode}))
    for i in range(prof.websocket_drops):
        if i % 2 == 0:
            steps.append(Step(at(), "websocket closed", CLOSE_WEBSOCKET, {"code": 1001, "reason": "going away"}))
        else:
            steps.append(Step(at(), "websocket reset", DROP_CONNECTIONS, {"what": "websocket", "mode": "reset"}))
    late_at = rng.uniform(0.1, 0.3) * prof.duration_s
    for _ in range(prof.server_restarts):
        stop = rng.uniform(0.1, 0.2) * prof.duration_s
        steps.append(Step(stop, "server killed", STOP_SERVER, {"mode": "reset"}))
        steps.append(Step(stop + prof.outage_s, "server restarted", START_SERVER, in_outage=True))
        late_at = stop + prof.outage_s + 1
    for _ in range(prof.late_marks):
        steps.append(Step(late_at, f"mark answered after {CLIENT_RESPONSE_TIMEOUT_S + 1} s", ARM_FAULT,
                          {"path": MARK_PATH, "delay_ms": (CLIENT_RESPONSE_TIMEOUT_S + 1) * 1000},
                          in_outage=True))
    return sorted(steps, key=lambda step: step.at_s)



def host_kills(prof: Profile, rng: random.Random) -> list[HostKill]:
    """The host kills at random times within the feeding window, sorted; every
    other one inside a call-back, the first among them."""
    window = (0.05 * prof.duration_s, 0.9 * prof.duration_s)
    times = sorted(rng.uniform(*window) for _ in range(prof.host_kills))
    return [HostKill(at_s, i % 2 == 0) for i, at_s in enumerate(times)]


# The mark outage: every mark answered 503 from 15% to 75% of the feeding
# time, so thousands of activities are taken and not marked.
MARK_OUTAGE = (0.15, 0.75)
# The server's batch in that mode: the whole backlog of a panel in one list.
MARK_OUTAGE_BATCH = 5000


def mark_outage(prof: Profile, rng: random.Random, steps: list[Step]) -> tuple[list[Step], list[HostKill]]:
    """The run's faults without those of the mark (the outage stands for them),
    with the outage's start and end; and the host kills, all inside the outage
    and none inside a call-back, so nothing may reach the host twice."""
    start, end = (share * prof.duration_s for share in MARK_OUTAGE)
    kept = [step for step in steps if step.args.get("path") != MARK_PATH]
    kept.append(Step(start, "marks answered 503 for a long stretch", ARM_FAULT,
                     {"path": MARK_PATH, "status": 503, "count": 0, "body": '{"error":"unavailable"}'}))
    kept.append(Step(end, "marks answered again", CLEAR_FAULTS))
    # Kills in the outage's second half: by then thousands are taken and not marked.
    times = sorted(rng.uniform((start + end) / 2, end) for _ in range(max(1, prof.host_kills)))
    return sorted(kept, key=lambda step: step.at_s), [HostKill(at_s, False) for at_s in times]


def poison_activity(activities: list[Activity], rng: random.Random) -> Activity:
    """The activity whose card the host crashes on: a badge activity fed
    between a fifth and a half of the way, so that two crashes, the restarts
    and what the translator does next all fit in the run."""
    count = len(activities)
    middle = [a for a in activities[count // 5:max(count // 5 + 1, count // 2)] if not a.kind.alarm]
    return rng.choice(middle or activities)
