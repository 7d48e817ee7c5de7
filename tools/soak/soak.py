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
    parser.add_argument("--fail-on-duplicates", action="store_true",
                        help="also fail when an activity reached the host more than once")
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
    args.build_dir = args.build_dir.resolve()
    args.work_dir = (args.work_dir or args.build_dir / f"soak-{args.profile}").resolve()
    return args


args = parse_arguments(sys.argv[1:])
# The system-test helpers find the build tree through the environment when imported.
os.environ["TLY_BUILD_DIR"] = str(args.build_dir)
sys.path.insert(0, str(SOURCE_DIR / "tests" / "system"))

import plan  # noqa: E402
import procstat  # noqa: E402
from system_support import (HostSim, ModuleDirectory, Registration, Simulator,  # noqa: E402
                            TranslatorLog, WaitTimeout)
from tally import Resources, summary, tally  # noqa: E402

CONNECT_TIMEOUT_S = 90
TICK_S = 0.25         # how often the timeline is looked at
HARVEST_EVERY_S = 2.0  # how often the server's mark requests are collected
SAMPLE_EVERY_S = 5.0   # how often the host process's resources are read
PROGRESS_EVERY_S = 30.0


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
        self.profile = plan.profile(args.profile, args.activities, args.duration)
        rng = random.Random(args.run)
        self.activities = plan.activities(self.profile, args.panels, rng)
        self.steps = plan.faults(self.profile, rng)
        self.step_results: list[tuple[plan.Step, Optional[dict]]] = []
        self.host: Optional[HostSim] = None
        self.host_pid: Optional[int] = None
        self.peak_rss_kib = 0
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
        self.marks = MarkRequests(self.simulator)

        self.module = ModuleDirectory(work / "module")
        settings = self.module.write_settings(self.simulator.port, level="info")
        settings["logging"].update({"max_log_size_mb": 500, "max_log_files": 2})  # one file for the whole run
        self.module.write_json(self.module.settings_path, settings)
        cleanups.append(Registration(self.module).undo)

        panels = ",".join(map(str, self.args.panels))
        self.host = HostSim(panels, duration=longest, readers=plan.READERS_PER_PANEL)
        cleanups.append(self.host.stop)
        for panel in self.args.panels:
            self.host.wait_for(lambda line, p=panel: line.get("kind") == "status" and line["panel"] == p
                               and line["panel_online"], CONNECT_TIMEOUT_S, f"panel {panel} online")
        self.host_pid = procstat.find_wine_process(self.host.process.pid, "host-sim.exe")

    # -------------------------------------------------------------- the run

    def sample(self) -> Optional[Resources]:
        now = procstat.sample(self.host_pid) if self.host_pid else None
        if now:
            self.peak_rss_kib = max(self.peak_rss_kib, now.rss_kib)
        return now

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
        activities, steps = list(self.activities), list(self.steps)
        started = time.monotonic()
        next_harvest = next_sample = 0.0
        next_progress = PROGRESS_EVERY_S
        fed = 0
        while fed < len(activities) or steps:
            self.check_host_alive()
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
            if now >= next_harvest:
                self.marks.harvest()
                next_harvest = now + HARVEST_EVERY_S
            if now >= next_sample:
                self.sample()
                next_sample = now + SAMPLE_EVERY_S
            if now >= next_progress:
                self.progress(f"{now:.0f} s: fed {fed}")
                next_progress += PROGRESS_EVERY_S
            time.sleep(TICK_S)

    def drain(self) -> None:
        """Until the server holds nothing pending, or the drain time-out."""
        started = time.monotonic()
        deadline = started + self.args.drain_timeout
        while time.monotonic() < deadline:
            self.check_host_alive()
            self.marks.harvest()
            self.sample()
            status, _ = self.simulator.call("POST", "/wait/pending", {"max": 0, "timeout_ms": 5000}, timeout=20)
            if status == 200:
                break
        self.drain_s = time.monotonic() - started

    def check_host_alive(self) -> None:
        if self.host.process.poll() is not None:
            raise RuntimeError(f"host-sim ended early with exit code {self.host.process.returncode}")

    def progress(self, text: str) -> None:
        pending = self.simulator.control("GET", "/state")["pending_count"]
        events = sum(1 for line in self.host.snapshot() if line.get("kind") == "event" and line.get("data_type") == 2)
        print(f"soak: {text}, pending on the server {pending}, card events at the host {events}", flush=True)

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
        return [(label, hit, planned) for label, (hit, planned) in counts.items()]

    def translator_log(self) -> list[dict]:
        lines = []
        for path in sorted(self.module.path.glob(self.module.log_path.name + "*")):
            lines += TranslatorLog(path).lines()
        return lines

    def verdict(self, start: Optional[Resources], end: Optional[Resources]) -> int:
        self.marks.harvest()
        pending = [a["adm_id"] for a in self.simulator.control("GET", "/activities")["pending"]]
        faults = self.fault_counts()
        self.host.stop()
        host_lines = self.host.snapshot()
        result = tally(self.activities, host_lines, self.marks.all(), pending, self.translator_log())
        heading = (f"soak summary: {len(self.activities)} activities on panels "
                   f"{','.join(map(str, self.args.panels))} over {self.profile.duration_s:.0f} s, "
                   f"backlog drained in {self.drain_s:.0f} s (profile {self.args.profile}, run {self.args.run})")
        text = summary(result, heading, start, end, self.peak_rss_kib, faults, self.args.fail_on_duplicates)
        print(text, flush=True)
        work = self.args.work_dir
        (work / "summary.txt").write_text(text + "\n")
        for name, records in (("host-sim.jsonl", host_lines), ("mark-requests.jsonl", self.marks.all())):
            with open(work / name, "w") as out:
                out.writelines(json.dumps(record) + "\n" for record in records)
        return 1 if result.failures(self.args.fail_on_duplicates) else 0


def main() -> int:
    runner = Runner(args)
    cleanups: list = []
    try:
        print(f"soak: {runner.profile.activities} activities over {runner.profile.duration_s:.0f} s "
              f"with {len(runner.steps)} faults; output in {args.work_dir}", flush=True)
        try:
            runner.start(cleanups)
        except (RuntimeError, WaitTimeout, OSError) as error:
            print(f"soak: could not start: {error}", file=sys.stderr)
            return 3
        start = runner.sample()
        runner.feed_and_fault()
        runner.drain()
        end = runner.sample()
        return runner.verdict(start, end)
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
