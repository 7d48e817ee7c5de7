#!/usr/bin/env python3
"""The soak: the translator driven as the host drives it, for many activities
across several panels, against the Tallyport simulator with every fault armed
over the run; then one summary of what reached the host and what the server
still holds.

    soak.py [--profile full|quick|slice] [--activities N] [--duration S] ...

It needs the build tree's Wine prefix with a running Wine server
(tools/wine-prefix.sh BUILD init && ... start); tools/soak/run-soak.sh does
that around it. Exit 0 when nothing was lost, left unmarked or altered (and,
with --fail-on-duplicates, nothing duplicated); 1 otherwise; 2 for a bad
command line; 3 when the run could not be set up.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

HERE = Path(__file__).resolve().parent
SOURCE_DIR = HERE.parents[1]
sys.path.insert(0, str(HERE))


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--profile", choices=("full", "quick", "slice"), default="full",
                        help="full: 10,000 activities over 7 minutes; quick: about a minute; "
                             "slice: under 30 s without the outage and the 31 s mark (default full)")
    parser.add_argument("--quick", dest="profile", action="store_const", const="quick", help="--profile quick")
    parser.add_argument("--activities", type=int, help="activities to feed (default: the profile's)")
    parser.add_argument("--duration", type=float, help="seconds over which they are fed (default: the profile's)")
    parser.add_argument("--panels", default="1,2,3", help="panel ids, comma separated (default 1,2,3)")
    parser.add_argument("--run", type=int, default=11, help="run number of the activity mix and fault times")
    parser.add_argument("--drain-timeout", type=float, default=180,
                        help="seconds to wait for the server's backlog to empty after feeding")
    parser.add_argument("--host-kills", type=int,
                        help="times the host process is killed and restarted, every other one inside a "
                             "call-back (default: the profile's, 20, 4 or 1)")
    parser.add_argument("--poison", action="store_true",
                        help="host-sim crashes on the card of one activity every time it receives it")
    parser.add_argument("--poison-crash", choices=("terminate", "access-violation"), default="terminate",
                        help="how host-sim crashes on the poison card: TerminateProcess on itself (default) "
                             "or an access violation nobody catches")
    parser.add_argument("--mark-outage", action="store_true",
                        help="every mark fails from 15%% to 75%% of the feeding time, the host is killed "
                             "(never in a call-back) in its second half; fails on any duplicate")
    parser.add_argument("--fail-on-duplicates", action="store_true",
                        help="also fail when an activity reached the host more than once, unless the host "
                             "process ended in its call-back")
    parser.add_argument("--build-dir", type=Path,
                        default=Path(os.environ.get("TLY_BUILD_DIR", SOURCE_DIR / "build")),
                        help="the build tree (default $TLY_BUILD_DIR, else build/)")
    parser.add_argument("--work-dir", type=Path,
                        help="where the run keeps its module directory, simulator state and output "
                             "(default BUILD/soak-PROFILE)")
    args = parser.parse_args(argv)
    try:
        args.panels = [int(p) for p in args.panels.split(",")]
    except ValueError:
        parser.error("--panels takes panel ids separated by commas")
    if (args.activities is not None and args.activities < 1) or (args.duration is not None and args.duration <= 0):
        parser.error("--activities and --duration must be positive")
    if args.host_kills is not None and args.host_kills < 0:
        parser.error("--host-kills cannot be negative")
    if args.mark_outage:
        args.fail_on_duplicates = True  # no kill in a call-back: nothing may arrive twice
    args.build_dir = args.build_dir.resolve()
    args.work_dir = (args.work_dir or args.build_dir / f"soak-{args.profile}").resolve()
    return args


args = parse_arguments(sys.argv[1:])
# The system-test helpers find the build tree through the environment when imported.
os.environ["TLY_BUILD_DIR"] = str(args.build_dir)
sys.path.insert(0, str(SOURCE_DIR / "tests" / "system"))

import plan  # noqa: E402
from hostprocess import CONNECT_TIMEOUT_S, HostProcesses  # noqa: E402
from system_support import ModuleDirectory, Registration, Simulator, TranslatorLog, WaitTimeout  # noqa: E402
from tally import Resources, summary, tally  # noqa: E402

TICK_S = 0.25         # how often the timeline is looked at
HARVEST_EVERY_S = 2.0  # how often the server's mark requests are collected
SAMPLE_EVERY_S = 5.0   # how often the host process's resources are read
PROGRESS_EVERY_S = 30.0
# The poison card crashes the host twice before the translator holds it back;
# a translator that never does would crash it for ever, so after this many
# crashes the host is restarted without the poison and the run carries on.
POISON_CRASH_LIMIT = 4


def site(panels: list[int]) -> dict:
    """Each panel with its readers, each reader at a door of its own."""
    doors, readers = [], {}
    for panel in panels:
        readers[str(panel)] = []
        for reader in range(1, plan.READERS_PER_PANEL + 1):
            door_id = panel * 100 + reader
            doors.append({"id": door_id, "name": f"Door {panel}.{reader}", "external_id": f"DOOR-{door_id}",
                          "external_entry_reader_id": door_id, "external_exit_reader_id": 0})
            readers[str(panel)].append({"id": door_id, "external_id": f"{panel}:{reader}",
                                        "name": f"Reader {panel}:{reader}", "guid": "", "door_id": door_id})
    return {"doors": doors, "handhelds": [], "readers": readers, "connected": []}


class MarkRequests:
    """The server's record of mark requests, collected as the run goes (its
    request log is bounded). A request still unanswered is read again later."""

    def __init__(self, simulator: Simulator):
        self.simulator = simulator
        self.by_seq: dict[int, dict] = {}
        self.since = 0

    def harvest(self) -> None:
        for request in self.simulator.requests(plan.MARK_PATH, self.since):
            self.by_seq[request["seq"]] = request
        open_seqs = [seq for seq, r in self.by_seq.items() if r["response_status"] is None]
        self.since = min(open_seqs) - 1 if open_seqs else max(self.by_seq, default=self.since)

    def all(self) -> list[dict]:
        return [self.by_seq[seq] for seq in sorted(self.by_seq)]


@dataclass
class Outage:
    since_seq: int                        # the server's requests before it went down end here
    restarted_at: Optional[float] = None  # epoch seconds, as the request log has them


class Runner:
    def __init__(self, args: argparse.Namespace):
        self.args = args
        self.profile = plan.profile(args.profile, args.activities, args.duration, args.host_kills)
        rng = random.Random(args.run)
        self.activities = plan.activities(self.profile, args.panels, rng)
        self.steps = plan.faults(self.profile, rng)
        self.kills = plan.host_kills(self.profile, rng)
        if args.mark_outage:
            self.steps, self.kills = plan.mark_outage(self.profile, rng, self.steps)
        self.poison = plan.poison_activity(self.activities, rng) if args.poison else None
        self.step_results: list[tuple[plan.Step, Optional[dict]]] = []
        self.hosts: Optional[HostProcesses] = None
        self.drain_s = 0.0
        self.outage: Optional[Outage] = None

    # -------------------------------------------------------------- set-up

    def start(self, cleanups: list) -> None:
        work = self.args.work_dir
        longest = int(self.profile.duration_s + self.args.drain_timeout + CONNECT_TIMEOUT_S + 120)
        self.simulator = Simulator(work / "simulator", max_lifetime=longest).start()
        cleanups.append(self.simulator.stop)
        self.simulator.control("POST", "/site", site(self.args.panels))
        if self.profile.token_lifetime_s:
            self.simulator.control("POST", "/config", {"expires_in": self.profile.token_lifetime_s})
        if self.args.mark_outage:
            # Each list names up to this many, so a run hands over what came in
            # since the last one although the activities it took before, whose
            # marks fail, lead the list: thousands are taken and not marked.
            self.simulator.control("POST", "/config", {"batch_size": plan.MARK_OUTAGE_BATCH})
        self.marks = MarkRequests(self.simulator)

        self.module = ModuleDirectory(work / "module")
        settings = self.module.write_settings(self.simulator.port, level="info")
        settings["logging"].update({"max_log_size_mb": 500, "max_log_files": 2})  # one file for the whole run
        self.module.write_json(self.module.settings_path, settings)
        cleanups.append(Registration(self.module).undo)

        self.hosts = HostProcesses(self.args.panels, longest, work, self.poison and self.poison.badge,
                                   self.args.poison_crash, POISON_CRASH_LIMIT)
        cleanups.append(self.hosts.stop)
        self.hosts.start()

    # -------------------------------------------------------------- the run

    def kill_host(self, kill: plan.HostKill) -> None:
        if kill.in_callback:
            self.hosts.kill_in_callback()
        else:
            self.hosts.kill()

    def perform(self, step: plan.Step) -> None:
        status, answer = self.simulator.call("POST", step.path, step.args)
        if status >= 400:
            print(f"soak: {step.label} ({step.path}) refused: {answer}", file=sys.stderr)
            answer = None
        self.step_results.append((step, answer))
        if step.path == plan.STOP_SERVER:
            self.outage = Outage(self.marks.since)
        elif step.path == plan.START_SERVER and self.outage:
            self.outage.restarted_at = time.time()

    def outage_over(self) -> bool:
        """Whether the translator has reached the server since its restart."""
        if self.outage and self.outage.restarted_at is not None:
            recent = self.simulator.control("GET", f"/requests?path_prefix={plan.API}/"
                                                   f"&since_seq={self.outage.since_seq}")["requests"]
            if any(request["time"] >= self.outage.restarted_at for request in recent):
                self.outage = None
        return self.outage is None

    def feed_and_fault(self) -> None:
        """The timeline: activities as their times come, faults likewise."""
        activities, steps, kills = list(self.activities), list(self.steps), list(self.kills)
        started = time.monotonic()
        next_harvest = next_sample = 0.0
        next_progress = PROGRESS_EVERY_S
        fed = 0
        # Kills the outage and the restarts pushed this far are given up.
        kills_until = self.profile.duration_s + CONNECT_TIMEOUT_S
        while fed < len(activities) or steps or (kills and time.monotonic() - started < kills_until):
            self.hosts.watch()
            now = time.monotonic() - started
            due = []
            while fed < len(activities) and activities[fed].at_s <= now:
                due.append(activities[fed].record())
                fed += 1
            if due:
                self.simulator.control("POST", "/activities", {"activities": due})
            # A translator that never comes back must not hold the run for ever.
            gated = now < self.profile.duration_s + CONNECT_TIMEOUT_S and not self.outage_over()
            for step in [s for s in steps if s.at_s <= now and (s.in_outage or not gated)]:
                steps.remove(step)
                self.perform(step)
            # A host restarted during the outage would only wait for the server;
            # one kill at a time, the next once a kill inside a call-back is done.
            if kills and kills[0].at_s <= now and not gated and not self.hosts.hold_wanted:
                self.kill_host(kills.pop(0))
            if fed == len(activities) and self.hosts.hold_wanted and not self.pending_count():
                self.hosts.withdraw_hold()  # no record is left to hold
            if now >= next_harvest:
                self.marks.harvest()
                next_harvest = now + HARVEST_EVERY_S
            if now >= next_sample:
                self.hosts.sample()
                next_sample = now + SAMPLE_EVERY_S
            if now >= next_progress:
                self.progress(f"{now:.0f} s: fed {fed}")
                next_progress += PROGRESS_EVERY_S
            time.sleep(TICK_S)

    def drain(self) -> None:
        """Until the server holds nothing pending but the poison activity, or
        the drain time-out."""
        started = time.monotonic()
        deadline = started + self.args.drain_timeout
        may_stay = {self.poison.adm_id} if self.poison else set()
        while time.monotonic() < deadline:
            self.hosts.watch()
            self.marks.harvest()
            self.hosts.sample()
            status, _ = self.simulator.call("POST", "/wait/pending", {"max": len(may_stay), "timeout_ms": 2000},
                                            timeout=20)
            if status == 200 and self.pending_ids() <= may_stay:
                break
        self.hosts.withdraw_hold()
        self.drain_s = time.monotonic() - started

    def pending_ids(self) -> set[int]:
        return {a["adm_id"] for a in self.simulator.control("GET", "/activities")["pending"]}

    def pending_count(self) -> int:
        return self.simulator.control("GET", "/state")["pending_count"]

    def progress(self, text: str) -> None:
        pending = self.pending_count()
        print(f"soak: {text}, pending on the server {pending}, card events at the host "
              f"{self.hosts.card_events()}, host processes {len(self.hosts.lives) + 1}", flush=True)

    # -------------------------------------------------------------- the verdict

    def fault_counts(self) -> list[tuple[str, int, int]]:
        """(label, took effect, scheduled) per kind of fault, in schedule order.
        An armed fault took effect once the server no longer holds it armed."""
        still_armed = {fault["id"] for fault in self.simulator.control("GET", "/faults")["faults"]}
        counts: dict[str, list[int]] = {}
        for step in self.steps:
            counts.setdefault(step.label, [0, 0])[1] += 1
        for step, answer in self.step_results:
            if answer is None:
                continue
            if not step.arms_fault or answer.get("id") not in still_armed:
                counts[step.label][0] += 1
        result = [(label, hit, planned) for label, (hit, planned) in counts.items()]
        in_callback = sum(kill.in_callback for kill in self.kills)
        at_once = self.hosts.kills - self.hosts.kills_in_callback
        kills = (("host killed at once", at_once, len(self.kills) - in_callback),
                 ("host killed in a call-back", self.hosts.kills_in_callback, in_callback))
        return result + [kill for kill in kills if kill[2]]

    def translator_log(self) -> list[dict]:
        lines = []
        for path in sorted(self.module.path.glob(self.module.log_path.name + "*")):
            lines += TranslatorLog(path).lines()
        return lines

    def verdict(self, start: Optional[Resources], end: Optional[Resources]) -> int:
        self.marks.harvest()
        pending = self.pending_ids()
        faults = self.fault_counts()
        self.hosts.stop()
        lives = self.hosts.lives
        result = tally(self.activities, lives, self.marks.all(), pending, self.translator_log(), self.poison)
        heading = (f"soak summary: {len(self.activities)} activities on panels "
                   f"{','.join(map(str, self.args.panels))} over {self.profile.duration_s:.0f} s, "
                   f"backlog drained in {self.drain_s:.0f} s (profile {self.args.profile}, run {self.args.run})")
        text = summary(result, heading, start, end, self.hosts.peak_rss_kib, faults, self.args.fail_on_duplicates)
        print(text, flush=True)
        work = self.args.work_dir
        (work / "summary.txt").write_text(text + "\n")
        # Each host process's lines after one line that says which process it was.
        host_lines = [line for number, life in enumerate(lives, 1)
                      for line in [{"kind": "soak", "host_process": number, "killed": life.killed}] + life.lines]
        for name, records in (("host-sim.jsonl", host_lines), ("mark-requests.jsonl", self.marks.all())):
            with open(work / name, "w") as out:
                out.writelines(json.dumps(record) + "\n" for record in records)
        return 1 if result.failures(self.args.fail_on_duplicates) else 0


def main() -> int:
    runner = Runner(args)
    cleanups: list = []
    try:
        poison = f", poison card {runner.poison.badge} (id {runner.poison.adm_id})" if runner.poison else ""
        print(f"soak: {runner.profile.activities} activities over {runner.profile.duration_s:.0f} s "
              f"with {len(runner.steps)} faults and {len(runner.kills)} host kills{poison}; "
              f"output in {args.work_dir}", flush=True)
        try:
            runner.start(cleanups)
        except (RuntimeError, WaitTimeout, OSError) as error:
            print(f"soak: could not start: {error}", file=sys.stderr)
            return 3
        runner.feed_and_fault()
        runner.drain()
        # The host process's resources: the last one's, online and after the drain.
        end = runner.hosts.sample()
        return runner.verdict(runner.hosts.first_sample, end)
    except (RuntimeError, WaitTimeout, OSError) as error:
        print(f"soak: {error}", file=sys.stderr)
        return 3
    finally:
        for cleanup in reversed(cleanups):
            try:
                cleanup()
            except Exception as error:  # keep undoing the rest
                print(f"soak: clean-up: {error}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
