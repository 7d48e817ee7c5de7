"""The soak's verdict: what was fed, set against what the host received, what
the server still holds, which mark requests failed and what the translator
logged. Pure functions over plain records, so the counting can be checked
without running anything.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Iterable, Optional

from plan import CLIENT_RESPONSE_TIMEOUT_S, Activity

SUPPRESSED_EVENT = "activities.redelivery_suppressed"


@dataclass
class Resources:
    """The host process as Linux sees it: open descriptors, threads, resident memory."""
    descriptors: int
    threads: int
    rss_kib: int


@dataclass
class Tally:
    fed: int = 0
    delivered: int = 0
    lost: list[int] = field(default_factory=list)          # gone from the server, never at the host
    unmarked: list[int] = field(default_factory=list)      # still pending on the server
    unmarked_undelivered: int = 0
    extra_events: dict[int, int] = field(default_factory=dict)  # adm_id: deliveries beyond the first
    after_failed_mark: int = 0                             # duplicated activities a failed mark names
    failed_marks: int = 0                                  # mark requests that failed
    altered: dict[int, str] = field(default_factory=dict)  # adm_id: how a delivery differed
    stray_events: int = 0                                  # card events no fed activity explains
    suppressed_lines: int = 0
    suppressed_activities: int = 0

    @property
    def duplicated(self) -> int:
        return len(self.extra_events)

    def failures(self, fail_on_duplicates: bool) -> list[str]:
        """Why the run failed; empty when it passed."""
        reasons = []
        if self.lost:
            reasons.append(f"{len(self.lost)} lost")
        if self.unmarked:
            reasons.append(f"{len(self.unmarked)} unmarked")
        if self.altered or self.stray_events:
            reasons.append(f"{len(self.altered) + self.stray_events} delivered altered")
        if fail_on_duplicates and self.extra_events:
            reasons.append(f"{self.duplicated} duplicated")
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


def tally(activities: list[Activity], host_lines: Iterable[dict], mark_requests: Iterable[dict],
          pending_ids: Iterable[int], log_lines: Iterable[dict]) -> Tally:
    by_badge = {activity.badge: activity for activity in activities}
    result = Tally(fed=len(activities))

    deliveries: Counter[int] = Counter()
    for line in host_lines:
        if line.get("kind") != "event" or line.get("data_type") != 2:
            continue
        activity = by_badge.get(line.get("card_number"))
        if activity is None:
            result.stray_events += 1
            continue
        deliveries[activity.adm_id] += 1
        why = difference(activity, line)
        if why and activity.adm_id not in result.altered:
            result.altered[activity.adm_id] = why
    result.delivered = len(deliveries)
    result.extra_events = {adm_id: count - 1 for adm_id, count in deliveries.items() if count > 1}

    failed_ids: set[int] = set()
    for request in mark_requests:
        if is_failed_mark(request):
            result.failed_marks += 1
            failed_ids.update(mark_ids(request))
    result.after_failed_mark = sum(1 for adm_id in result.extra_events if adm_id in failed_ids)

    pending = set(pending_ids)
    for activity in activities:
        if activity.adm_id in pending:
            result.unmarked.append(activity.adm_id)
            result.unmarked_undelivered += activity.adm_id not in deliveries
        elif activity.adm_id not in deliveries:
            result.lost.append(activity.adm_id)

    for line in log_lines:
        if line.get("event") == SUPPRESSED_EVENT:
            result.suppressed_lines += 1
            result.suppressed_activities += suppressed_count(line)
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
    extra = sum(result.extra_events.values())
    lines.append(f"  duplicates   {result.duplicated} activities reached the host more than once "
                 f"({extra} extra host events); {result.after_failed_mark} of them after a failed mark "
                 f"({result.failed_marks} mark requests failed){_ids(result.extra_events)}")
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
