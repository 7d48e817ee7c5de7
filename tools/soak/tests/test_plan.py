"""The run's schedule of host kills and its poison activity: a kill outside
the feeding window, or a poison card fed too late to crash the host twice,
would make a run prove less than its summary says."""

from __future__ import annotations

import random
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import plan  # noqa: E402


def schedule(name: str, run: int, host_kills=None):
    prof = plan.profile(name, host_kills=host_kills)
    rng = random.Random(run)
    activities = plan.activities(prof, [1, 2, 3], rng)
    steps = plan.faults(prof, rng)
    kills = plan.host_kills(prof, rng)
    return prof, activities, steps, kills, plan.poison_activity(activities, rng)


class HostKillPlanTest(unittest.TestCase):
    def test_kills_and_poison(self) -> None:
        cases = [
            # profile, run, --host-kills, kills expected
            ("full", 11, None, 20),
            ("quick", 11, None, 4),
            ("slice", 11, None, 1),
            ("slice", 3, 0, 0),
            ("quick", 7, 9, 9),
        ]
        for name, run, override, count in cases:
            with self.subTest(profile=name, run=run, host_kills=override):
                prof, activities, _, kills, poison = schedule(name, run, override)
                self.assertEqual(len(kills), count)
                self.assertEqual([k.at_s for k in kills], sorted(k.at_s for k in kills))
                self.assertTrue(all(0.05 * prof.duration_s <= k.at_s <= 0.9 * prof.duration_s for k in kills))
                # Every other kill inside a call-back, the first among them, so one kill is one of those.
                self.assertEqual([k.in_callback for k in kills], [i % 2 == 0 for i in range(count)])
                self.assertFalse(poison.kind.alarm)
                position = activities.index(poison)
                self.assertTrue(len(activities) // 5 <= position < len(activities) // 2, position)

    def test_kills_leave_the_rest_of_the_run_as_it_was(self) -> None:
        # The same run number with or without kills feeds the same activities
        # and arms the same faults at the same times, so runs compare.
        _, activities, steps, _, _ = schedule("quick", 11, 0)
        _, with_kills, steps_with_kills, _, _ = schedule("quick", 11, 20)
        self.assertEqual(activities, with_kills)
        self.assertEqual(steps, steps_with_kills)
        self.assertEqual(schedule("quick", 11, 4)[3], schedule("quick", 11, 4)[3])

    def test_the_mark_outage_replaces_the_mark_faults_and_holds_every_kill(self) -> None:
        for name in ("full", "quick"):
            with self.subTest(profile=name):
                prof, _, steps, _, _ = schedule(name, 11)
                outage_steps, kills = plan.mark_outage(prof, random.Random(5), steps)
                marks = [s for s in outage_steps if s.args.get("path") == plan.MARK_PATH]
                self.assertEqual(len(marks), 1, "the outage is the only fault of the mark")
                self.assertEqual(marks[0].args["count"], 0, "armed until cleared")
                start, end = (share * prof.duration_s for share in plan.MARK_OUTAGE)
                cleared = [s for s in outage_steps if s.path == plan.CLEAR_FAULTS]
                self.assertEqual([s.at_s for s in cleared], [end])
                self.assertEqual(len(kills), plan.HOST_KILLS[name])
                self.assertTrue(all(start < k.at_s <= end and not k.in_callback for k in kills))
                self.assertEqual([s.at_s for s in outage_steps], sorted(s.at_s for s in outage_steps))


if __name__ == "__main__":
    unittest.main()
