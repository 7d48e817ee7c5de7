"""The soak's counting: a miscount here would hide a lost or duplicated
activity behind a passing summary."""

from __future__ import annotations

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from plan import KINDS, Activity  # noqa: E402
from tally import (BEFORE_MARK, IN_CALLBACK, UNEXPLAINED, HostLife, ends_in_callback,  # noqa: E402
                   is_failed_mark, tally)

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


def callback_fault(kind: str, activity: Activity) -> dict:
    """host-sim's line for a fault it plays inside a card record's call-back."""
    return {"kind": kind, "sink_panel": activity.panel, "card_number": activity.badge}


def killed(*lines: dict) -> HostLife:
    return HostLife(list(lines), killed=True)


def stopped(*lines: dict) -> HostLife:
    return HostLife(list(lines))


def held_back(activity: Activity) -> dict:
    return {"event": "activities.held_back", "fields": {"panel_id": activity.panel, "adm_id": activity.adm_id}}


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
                result = tally([a, b, c], [stopped(*lines)], marks, pending, [])
                for key, value in expected.items():
                    self.assertEqual(getattr(result, key), value, key)

    def test_host_processes_ended_from_outside(self) -> None:
        a, b, c = self.a, self.b, self.c
        hold, released, crash = (lambda x: callback_fault("hold", x), lambda x: callback_fault("released", x),
                                 lambda x: callback_fault("crash", x))
        cases = [
            # name, host processes, expected counts
            ("killed while holding a call-back", [killed(event(a), event(b), hold(b)), stopped(event(b), event(c))],
             dict(kills=1, kills_in_callback=1, held_offered_again=1, duplicate_causes={2: IN_CALLBACK},
                  host_processes=2)),
            ("held, yet not offered again", [killed(event(a), event(b), hold(b)), stopped(event(c))],
             dict(kills_in_callback=1, held_offered_again=0, duplicate_causes={})),
            ("the whole batch again after a kill", [killed(event(a), event(b)), stopped(event(a), event(b), event(c))],
             dict(kills=1, kills_in_callback=0, duplicate_causes={1: BEFORE_MARK, 2: IN_CALLBACK})),
            ("a hold released before the kill is not the call-back it ended in",
             [killed(event(a), hold(a), released(a), event(b)), stopped(event(a), event(b), event(c))],
             dict(kills_in_callback=0, held_offered_again=0, duplicate_causes={1: BEFORE_MARK, 2: IN_CALLBACK})),
            ("twice within one process", [killed(event(a)), stopped(event(b), event(b), event(c))],
             dict(duplicate_causes={2: UNEXPLAINED}, extra_events={2: 1})),
            ("again after a process that ended normally", [stopped(event(a)), stopped(event(a), event(b), event(c))],
             dict(duplicate_causes={1: UNEXPLAINED})),
            ("crashed twice on one card", [stopped(event(a), event(b), crash(b)), stopped(event(b), crash(b)),
                                           stopped(event(c))],
             dict(kills=0, crashes={b.badge: 2}, duplicate_causes={2: IN_CALLBACK}, extra_events={2: 1})),
        ]
        for name, lives, expected in cases:
            with self.subTest(name):
                result = tally([a, b, c], lives, [], [], [])
                for key, value in expected.items():
                    self.assertEqual(getattr(result, key), value, key)
                self.assertEqual((result.lost, result.delivered), ([], 3))

    def test_the_card_a_host_process_ended_in(self) -> None:
        # What the hold file spares and what explains a held-back activity.
        a, b = self.a, self.b
        status = {"kind": "status", "panel": 1, "panel_online": True, "readers_online": []}
        cases = [
            ("killed at once: its last card record", [killed(event(a), event(b), status)], {b.badge: 1}),
            ("the held record, whatever another sink printed after it",
             [killed(event(a), callback_fault("hold", a), event(b))], {a.badge: 1}),
            ("a released hold does not count", [killed(event(a), callback_fault("hold", a),
                                                       callback_fault("released", a), event(b))], {b.badge: 1}),
            ("crashed", [stopped(event(b), event(a), callback_fault("crash", a))], {a.badge: 1}),
            ("twice on one card", [stopped(event(a), callback_fault("crash", a)), killed(event(b), event(a))],
             {a.badge: 2}),
            ("stopped, or killed before any record", [stopped(event(a)), killed(status)], {}),
        ]
        for name, lives, expected in cases:
            with self.subTest(name):
                self.assertEqual(dict(ends_in_callback(lives)), expected)

    def test_verdict(self) -> None:
        a, b, c = self.a, self.b, self.c
        crash = lambda x: callback_fault("crash", x)  # noqa: E731
        poisoned = [stopped(event(a), crash(a)), stopped(event(a), crash(a)), stopped(event(b), event(c))]
        cases = [
            # name, host processes, pending ids, log, poison, failures without and with --fail-on-duplicates
            ("left pending", [stopped(event(a))], [2, 3], [], None, ["2 unmarked"], ["2 unmarked"]),
            ("a repeat no kill explains", [stopped(event(a), event(a), event(b), event(c))], [], [], None,
             ["1 duplicated unexplained"], ["1 duplicated unexplained"]),
            ("a batch-mate again after a kill", [killed(event(a), event(b)), stopped(event(a), event(b), event(c))],
             [], [], None, [], [f"1 duplicated {BEFORE_MARK}"]),
            ("poison held back after two crashes", poisoned, [1], [held_back(a)], a, [], []),
            ("poison delivered on, never held back", poisoned + [stopped(event(a), crash(a))], [], [], a,
             ["the host crashed 3 times on the poison card, not 2", "the poison card was not held back"],
             ["the host crashed 3 times on the poison card, not 2", "the poison card was not held back"]),
            ("held back after one end in its call-back", [stopped(event(a), crash(a)), stopped(event(b), event(c))],
             [1], [held_back(a)], None, ["1 held back without two ends in their call-back"],
             ["1 held back without two ends in their call-back"]),
            ("held back, yet marked", poisoned, [], [held_back(a)], None, ["1 held back yet marked"],
             ["1 held back yet marked"]),
        ]
        for name, lives, pending, log, poison, lenient, strict in cases:
            with self.subTest(name):
                result = tally([a, b, c], lives, [], pending, log, poison)
                self.assertEqual(result.failures(fail_on_duplicates=False), lenient)
                self.assertEqual(result.failures(fail_on_duplicates=True), strict)

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
