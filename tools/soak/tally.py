"""The soak's verdict: what was fed, set against what the host received (over
every host process the run went through), what the server still holds, which
mark requests failed and what the translator logged. Pure functions over plain
records, so the counting can be checked without running anything.

A host process ended from outside (or by its own crash) may have been inside a
card record's call-back, or between handing records to the host and marking
them; an activity that reaches a later host process again is then explained
by that end. Any other repeat is unexplained.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Iterable, Optional

from plan import CLIENT_RESPONSE_TIMEOUT_S, Activity

SUPPRESSED_EVENT = "activities.redelivery_suppressed"
INTERRUPTED_EVENT = "activities.delivery_interrupted"
HELD_BACK_EVENT = "activities.held_back"

# Why an activity reached the host again, from the host's point of view.
IN_CALLBACK = "in its call-back"              # the process ended while its record was at the host
BEFORE_MARK = "between delivery and mark"     # an earlier record of a process that ended
UNEXPLAINED = "unexplained"


@dataclass
class Resources:
    """The host process as Linux sees it: open descriptors, threads, resident memory."""
    descriptors: int
    threads: int
    rss_kib: int


def is_card_record(line: dict) -> bool:
    return line.get("kind") == "event" and line.get("data_type") == 2


@dataclass
class HostLife:
    """One host-sim process: every line it printed, and whether the soak
    killed it. A process that printed a "crash" line ended itself there."""
    lines: list[dict]
    killed: bool = False

    def _last(self, kind: str) -> Optional[dict]:
        return next((line for line in reversed(self.lines) if line.get("kind") == kind), None)

    @property
    def crashed_on(self) -> Optional[int]:
        crash = self._last("crash")
        return crash.get("card_number") if crash else None

    @property
    def held_on(self) -> Optional[int]:
        """The card whose call-back was held when the process was killed."""
        hold = self._last("hold")
        if not self.killed or hold is None:
            return None
        released = self._last("released")
        if released and self.lines.index(released) > self.lines.index(hold):
            return None
        return hold.get("card_number")

    @property
    def ended_early(self) -> bool:
        return self.killed or self.crashed_on is not None

    @property
    def ended_in(self) -> Optional[int]:
        """The card whose call-back may have been under way as the process
        ended: the one it crashed or was held in, else the last card record
        a killed process printed (the kill may have come before its call-back
        returned)."""
        if not self.ended_early:
            return None
        for card in (self.crashed_on, self.held_on):
            if card is not None:
                return card
        last = next((line for line in reversed(self.lines) if is_card_record(line)), None)
        return last.get("card_number") if last else None


def ends_in_callback(lives: Iterable[HostLife]) -> Counter:
    """Per card, the host processes that ended in (or just after) its call-back."""
    return Counter(life.ended_in for life in lives if life.ended_in is not None)


@dataclass
class Tally:
    fed: int = 0
    delivered: int = 0
    lost: list[int] = field(default_factory=list)          # gone from the server, never at the host
    unmarked: list[int] = field(default_factory=list)      # still pending on the server
    unmarked_undelivered: int = 0
    extra_events: dict[int, int] = field(default_factory=dict)  # adm_id: deliveries beyond the first
    duplicate_causes: dict[int, str] = field(default_factory=dict)  # adm_id: IN_CALLBACK, BEFORE_MARK, UNEXPLAINED
    after_failed_mark: int = 0                             # duplicated activities a failed mark names
    failed_marks: int = 0                                  # mark requests that failed
    altered: dict[int, str] = field(default_factory=dict)  # adm_id: how a delivery differed
    stray_events: int = 0                                  # card events no fed activity explains
    suppressed_lines: int = 0
    suppressed_activities: int = 0
    host_processes: int = 0
    kills: int = 0
    kills_in_callback: int = 0                             # killed while host-sim held a call-back
    held_offered_again: int = 0                            # of those held records, how many came again later
    crashes: Counter = field(default_factory=Counter)      # card number: host processes that crashed on it
    interrupted_lines: int = 0
    held_back: list[int] = field(default_factory=list)     # held back by the translator, still pending
    held_back_lines: int = 0
    held_back_marked: list[int] = field(default_factory=list)       # held back, yet marked on the server
    held_back_unexplained: list[int] = field(default_factory=list)  # held back without two ends in its call-back
    poison: Optional[Activity] = None

    @property
    def duplicated(self) -> int:
        return len(self.extra_events)

    def duplicates(self, cause: str) -> int:
        return sum(1 for why in self.duplicate_causes.values() if why == cause)

    def failures(self, fail_on_duplicates: bool) -> list[str]:
        """Why the run failed; empty when it passed. An unexplained duplicate
        always fails it; with fail_on_duplicates (and in poison mode, where
        every other activity must arrive once) so does any duplicate but one
        whose call-back the host process ended in."""
        reasons = []
        if self.lost:
            reasons.append(f"{len(self.lost)} lost")
        if self.unmarked:
            reasons.append(f"{len(self.unmarked)} unmarked")
        if self.altered or self.stray_events:
            reasons.append(f"{len(self.altered) + self.stray_events} delivered altered")
        if self.duplicates(UNEXPLAINED):
            reasons.append(f"{self.duplicates(UNEXPLAINED)} duplicated unexplained")
        if (fail_on_duplicates or self.poison) and self.duplicates(BEFORE_MARK):
            reasons.append(f"{self.duplicates(BEFORE_MARK)} duplicated {BEFORE_MARK}")
        if self.held_back_marked:
            reasons.append(f"{len(self.held_back_marked)} held back yet marked")
        if self.held_back_unexplained:
            reasons.append(f"{len(self.held_back_unexplained)} held back without two ends in their call-back")
        if self.poison:
            crashes = self.crashes[self.poison.badge]
            if crashes != 2:
                reasons.append(f"the host crashed {crashes} times on the poison card, not 2")
            if self.poison.adm_id not in self.held_back:
                reasons.append("the poison card was not held back")
        return reasons


def is_failed_mark(request: dict) -> bool:
    """Whether a recorded mark request failed as the translator saw it: any
    answer but 200, a connection cut before the whole answer, or an answer
    held past the translator's time-out."""
    fault = request.get("fault") or {}
    if request.get("response_status") != 200:
        return True
    if fault.get("action") in ("drop_mid_body", "close", "reset", "hang"):
        return True
    return (fault.get("delay_ms") or 0) >= CLIENT_RESPONSE_TIMEOUT_S * 1000


def mark_ids(request: dict) -> list[int]:
    """The ids a recorded mark request named (none when unreadable)."""
    text = (request.get("query_params") or {}).get("ids", "")
    try:
        return [int(part) for part in text.split(",")] if text else []
    except ValueError:
        return []


def difference(activity: Activity, event: dict) -> Optional[str]:
    """How a host record differs from the one the activity must become."""
    expected = {"panel": activity.panel, "device_id": activity.reader,
                "event_type": activity.kind.event_type, "event_id": activity.kind.event_id}
    for key, value in expected.items():
        if event.get(key) != value:
            return f"{key} {event.get(key)!r}, expected {value!r}"
    text, whole = activity.expected_text()
    got = event.get("text")
    if not activity.kind.alarm:
        return None if got is None else f"text {got!r} on a badge record"
    if got is None or (got != text if whole else not got.startswith(text)):
        return f"text {got!r}, expected {text!r}{'' if whole else ' at its start'}"
    return None


def suppressed_count(line: dict) -> int:
    """Activities one suppressed-redelivery log line stands for."""
    fields = line.get("fields") or {}
    count = fields.get("count")
    if isinstance(count, int) and not isinstance(count, bool):
        return count
    ids = fields.get("ids")
    if isinstance(ids, list):
        return len(ids)
    if isinstance(ids, str) and ids:
        return len(ids.split(","))
    return 1


def logged_id(line: dict) -> Optional[int]:
    """The activity id a translator log line names."""
    fields = line.get("fields") or {}
    for key in ("adm_id", "id"):
        value = fields.get(key)
        if isinstance(value, int) and not isinstance(value, bool):
            return value
        if isinstance(value, str) and value.isdigit():
            return int(value)
    return None


def duplicate_cause(lives: list[HostLife], seen: list[tuple[int, bool]]) -> Optional[str]:
    """Why an activity reached the host as often as it did; `seen` holds,
    per delivery in order, its host process and whether that process ended
    in its call-back. None for a single delivery."""
    if len(seen) < 2:
        return None
    causes = set()
    for (life, in_callback), (next_life, _) in zip(seen, seen[1:]):
        if next_life > life and lives[life].ended_early:
            causes.add(IN_CALLBACK if in_callback else BEFORE_MARK)
        else:
            causes.add(UNEXPLAINED)
    return next(cause for cause in (UNEXPLAINED, BEFORE_MARK, IN_CALLBACK) if cause in causes)


def tally(activities: list[Activity], lives: list[HostLife], mark_requests: Iterable[dict],
          pending_ids: Iterable[int], log_lines: Iterable[dict], poison: Optional[Activity] = None) -> Tally:
    by_badge = {activity.badge: activity for activity in activities}
    result = Tally(fed=len(activities), host_processes=len(lives), poison=poison)

    seen: dict[int, list[tuple[int, bool]]] = {}
    held: list[tuple[int, int]] = []  # (host process, card) of each kill inside a call-back
    ends = ends_in_callback(lives)
    for index, life in enumerate(lives):
        result.kills += life.killed
        if life.held_on is not None:
            result.kills_in_callback += 1
            held.append((index, life.held_on))
        if life.crashed_on is not None:
            result.crashes[life.crashed_on] += 1
        ended_in = life.ended_in
        records = [line for line in life.lines if is_card_record(line)]
        # The record the process ended in is the last of that card it printed.
        end_position = max((i for i, line in enumerate(records) if line.get("card_number") == ended_in),
                           default=None)
        for position, line in enumerate(records):
            activity = by_badge.get(line.get("card_number"))
            if activity is None:
                result.stray_events += 1
                continue
            seen.setdefault(activity.adm_id, []).append((index, position == end_position))
            why = difference(activity, line)
            if why and activity.adm_id not in result.altered:
                result.altered[activity.adm_id] = why
    result.delivered = len(seen)
    for index, card in held:
        activity = by_badge.get(card)
        result.held_offered_again += activity is not None and any(
            life > index for life, _ in seen.get(activity.adm_id, []))
    result.extra_events = {adm_id: len(times) - 1 for adm_id, times in seen.items() if len(times) > 1}
    result.duplicate_causes = {adm_id: duplicate_cause(lives, times) for adm_id, times in seen.items()
                               if len(times) > 1}

    failed_ids: set[int] = set()
    for request in mark_requests:
        if is_failed_mark(request):
            result.failed_marks += 1
            failed_ids.update(mark_ids(request))
    result.after_failed_mark = sum(1 for adm_id in result.extra_events if adm_id in failed_ids)

    by_id = {activity.adm_id: activity for activity in activities}
    held_back: set[int] = set()
    for line in log_lines:
        event = line.get("event")
        if event == SUPPRESSED_EVENT:
            result.suppressed_lines += 1
            result.suppressed_activities += suppressed_count(line)
        elif event == INTERRUPTED_EVENT:
            result.interrupted_lines += 1
        elif event == HELD_BACK_EVENT:
            result.held_back_lines += 1
            if logged_id(line) in by_id:
                held_back.add(logged_id(line))

    pending = set(pending_ids)
    for activity in activities:
        if activity.adm_id in held_back:
            if activity.adm_id not in pending:
                result.held_back_marked.append(activity.adm_id)
                continue
            result.held_back.append(activity.adm_id)
            if ends[activity.badge] < 2:
                result.held_back_unexplained.append(activity.adm_id)
        elif activity.adm_id in pending:
            result.unmarked.append(activity.adm_id)
            result.unmarked_undelivered += activity.adm_id not in seen
        elif activity.adm_id not in seen:
            result.lost.append(activity.adm_id)
    return result


def _ids(ids: Iterable[int], most: int = 8) -> str:
    ids = sorted(ids)
    shown = ",".join(map(str, ids[:most]))
    return f" (ids {shown}{',…' if len(ids) > most else ''})" if ids else ""


def _mib(kib: int) -> str:
    return f"{kib / 1024:.1f}"


def summary(result: Tally, heading: str, start: Optional[Resources], end: Optional[Resources],
            peak_rss_kib: int, faults: list[tuple[str, int, int]], fail_on_duplicates: bool) -> str:
    """The one summary a run prints; `faults` holds (label, hit, scheduled)."""
    lines = [heading]
    lines.append(f"  delivered    {result.delivered} of {result.fed}")
    lines.append(f"  lost         {len(result.lost)}{_ids(result.lost)}")
    lines.append(f"  unmarked     {len(result.unmarked)}{_ids(result.unmarked)}"
                 + (f", {result.unmarked_undelivered} of them never delivered" if result.unmarked else ""))
    if result.held_back or result.held_back_lines or result.held_back_marked:
        lines.append(f"  held back    {len(result.held_back)}{_ids(result.held_back)}, pending on the server "
                     f"({result.held_back_lines} \"{HELD_BACK_EVENT}\" log lines)"
                     + (f"; {len(result.held_back_marked)} held back yet marked{_ids(result.held_back_marked)}"
                        if result.held_back_marked else ""))
    extra = sum(result.extra_events.values())
    lines.append(f"  duplicates   {result.duplicated} activities reached the host more than once "
                 f"({extra} extra host events): {result.duplicates(IN_CALLBACK)} after the host ended {IN_CALLBACK}, "
                 f"{result.duplicates(BEFORE_MARK)} after it ended {BEFORE_MARK}, "
                 f"{result.duplicates(UNEXPLAINED)} unexplained{_ids(result.extra_events)}; "
                 f"{result.after_failed_mark} after a failed mark ({result.failed_marks} mark requests failed)")
    if result.host_processes > 1 or result.kills:
        crashes = sum(result.crashes.values())
        lines.append(f"  host kills   {result.kills}, {result.kills_in_callback} of them inside a call-back "
                     f"({result.held_offered_again} of those records offered again); "
                     f"{crashes} crashes; {result.host_processes} host processes; "
                     f"{result.interrupted_lines} \"{INTERRUPTED_EVENT}\" log lines")
    if result.poison:
        poison = result.poison
        state = "held back" if poison.adm_id in result.held_back else "not held back"
        lines.append(f"  poison       card {poison.badge} (id {poison.adm_id}): the host crashed "
                     f"{result.crashes[poison.badge]} times on it; {state}")
    lines.append(f"  suppressed   {result.suppressed_activities} redeliveries "
                 f"({result.suppressed_lines} \"{SUPPRESSED_EVENT}\" log lines)")
    if result.altered or result.stray_events:
        first = min(result.altered) if result.altered else None
        detail = f"; {first}: {result.altered[first]}" if first is not None else ""
        lines.append(f"  altered      {len(result.altered)} activities delivered with other values, "
                     f"{result.stray_events} card events of no fed activity{detail}")
    if start and end:
        lines.append(f"  host-sim     descriptors {start.descriptors} -> {end.descriptors}, "
                     f"threads {start.threads} -> {end.threads}, memory {_mib(start.rss_kib)} -> "
                     f"{_mib(end.rss_kib)} MiB (peak {_mib(peak_rss_kib)})")
    else:
        lines.append("  host-sim     not measured (its Wine process was not found)")
    lines.append("  faults       " + ", ".join(f"{label} {hit}/{planned}" for label, hit, planned in faults))
    reasons = result.failures(fail_on_duplicates)
    lines.append("  result       " + ("FAIL: " + ", ".join(reasons) if reasons else "PASS"))
    return "\n".join(lines)
