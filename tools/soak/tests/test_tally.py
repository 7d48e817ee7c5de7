"""The soak's counting: a miscount here would hide a lost or duplicated
activity behind a passing summary."""

from __future__ import annotations

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from plan import KINDS, Activity  # noqa: E402
from tally import is_failed_mark, tally  # noqa: E402

GRANTED = next(kind for kind in KINDS if kind.name == "granted")
PANIC = next(kind for kind in KINDS if kind.name == "panic")
MUSTER = next(kind for kind in KINDS if kind.name == "muster")


def event(activity: Activity, **changes) -> dict:
    """The host record the activity must become, with changes."""
    text, _ = activity.expected_text()
    line = {"kind": "event", "data_type": 2, "card_number": activity.badge, "panel": activity.panel,
            "device_id": activity.reader, "event_type": activity.kind.event_type,
            "event_id": activity.kind.event_id, "text": text if activity.kind.alarm else None}
    line.update(changes)
    return line


def mark(ids: list[int], status: int = 200, fault: dict = None) -> dict:
    return {"query_params": {"ids": ",".join(map(str, ids))}, "response_status": status, "fault": fault}


class TallyTest(unittest.TestCase):
    def setUp(self) -> None:
        self.a = Activity(1, 5000000001, 1, 2, GRANTED, 0)
        self.b = Activity(2, 5000000002, 2, 3, PANIC, 0)
        self.c = Activity(3, 5000000003, 3, 1, MUSTER, 0)

    def test_counts(self) -> None:
        a, b, c = self.a, self.b, self.c
        muster = event(c, text=c.expected_text()[0] + "Door 3.1 (2024-01-01T00:00:00Z)")
        cases = [
            # name, host lines, mark requests, pending ids, expected counts
            ("each once", [event(a), event(b), muster], [mark([1, 2, 3])], [],
             dict(delivered=3, lost=[], unmarked=[], extra_events={}, after_failed_mark=0, altered={})),
            ("twice after a failed mark", [event(a), event(a), event(a), event(b)],
             [mark([1, 2], 503), mark([1, 2], 200, {"action": "drop_mid_body"}), mark([1, 2])], [],
             dict(delivered=2, lost=[3], extra_events={1: 2}, after_failed_mark=1, failed_marks=2)),
            ("twice with every mark answered", [event(a), event(a)], [mark([1])], [2, 3],
             dict(extra_events={1: 1}, after_failed_mark=0, unmarked=[2, 3], unmarked_undelivered=2, lost=[])),
            ("delivered but left pending", [event(a)], [mark([1], 500)], [1],
             dict(delivered=1, unmarked=[1], unmarked_undelivered=0, lost=[2, 3])),
            ("wrong values", [event(a, panel=3), event(b, text="other"), event(c, text=None),
                              event(a, card_number=99)], [], [],
             dict(altered={1: "panel 3, expected 1", 2: "text 'other', expected 'Soak panic alarm, badge 5000000002'",
                           3: "text None, expected 'Muster Alarm: Badge 5000000003 at ' at its start"},
                  stray_events=1)),
        ]
        for name, lines, marks, pending, expected in cases:
            with self.subTest(name):
                result = tally([a, b, c], lines, marks, pending, [])
                for key, value in expected.items():
                    self.assertEqual(getattr(result, key), value, key)

    def test_verdict(self) -> None:
        result = tally([self.a, self.b], [event(self.a), event(self.a)], [], [2], [])
        self.assertEqual(result.failures(fail_on_duplicates=False), ["1 unmarked"])
        self.assertEqual(result.failures(fail_on_duplicates=True), ["1 unmarked", "1 duplicated"])

    def test_failed_marks_as_the_translator_sees_them(self) -> None:
        cases = [
            (mark([1]), False),
            (mark([1], 500), True),
            (mark([1], None), True),  # never answered
            (mark([1], 200, {"action": "drop_mid_body", "delay_ms": 0}), True),
            (mark([1], 200, {"action": "pass", "delay_ms": 31000}), True),
            (mark([1], 200, {"action": "pass", "delay_ms": 4000}), False),
        ]
        for request, failed in cases:
            with self.subTest(request=request):
                self.assertEqual(is_failed_mark(request), failed)

    def test_suppressed_redeliveries_from_the_log(self) -> None:
        log = [{"event": "activities.redelivery_suppressed", "fields": {"count": 3, "ids": "1,2,3"}},
               {"event": "activities.redelivery_suppressed", "fields": {"ids": [4, 5]}},
               {"event": "activities.processing", "fields": {"adm_id": 1}}]
        result = tally([self.a], [], [], [], log)
        self.assertEqual((result.suppressed_lines, result.suppressed_activities), (2, 5))


if __name__ == "__main__":
    unittest.main()
