"""The host processes of a soak run: host-sim started for the panels and, over
the run, ended from outside as TerminateProcess ends a process (SIGKILL of its
Wine process), either at once or while host-sim holds a card record's
call-back; restarted after every kill, and after every crash on the poison
card, against the same module directory. Each process's output is kept for
the tally as one HostLife.
"""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path
from typing import Optional

import plan
import procstat
from system_support import HostSim, WaitTimeout, windows_path
from tally import HostLife, Resources, ends_in_callback

CONNECT_TIMEOUT_S = 90
# A held call-back is killed within a tick of its hold line; this only bounds
# a hold nobody kills (a stop ends it at once too).
HOLD_MS = 60000


class HostProcesses:
    def __init__(self, panels: list[int], lifetime_s: float, work_dir: Path,
                 poison_card: Optional[int], poison_crash: str, poison_crash_limit: int):
        self.panels = panels
        self.ends_at = time.monotonic() + lifetime_s  # host-sim stops itself then, whatever happens
        self.hold_file = work_dir / "hold-callback"
        self.poison_card = poison_card
        self.poison_crash = poison_crash
        self.poison_crash_limit = poison_crash_limit
        self.lives: list[HostLife] = []
        self.host: Optional[HostSim] = None
        self.pid: Optional[int] = None
        self.first_sample: Optional[Resources] = None  # of the process now running, once online
        self.peak_rss_kib = 0
        self.kills = 0
        self.kills_in_callback = 0
        self.holds_wanted = 0    # kills inside a call-back still to come
        self.hold_placed = False  # the hold file is there for host-sim to take
        self.scanned = 0         # lines of the running process looked at for a hold
        self.hold_file.unlink(missing_ok=True)

    # ------------------------------------------------------------ processes

    def start(self) -> None:
        """host-sim for the panels, until every panel reports online or it
        holds a call-back (the next tick kills it); one that crashes on the
        poison card meanwhile is restarted. The hold file goes out at once:
        the translator hands over its backlog before the last panel reports
        online, and a hold put out later could find no record left."""
        while True:
            extra = ["--hold-file", windows_path(self.hold_file), "--hold-ms", str(HOLD_MS)]
            if self.poison_card is not None and self.crashes() < self.poison_crash_limit:
                extra += ["--crash-on-card", str(self.poison_card), "--crash-how", self.poison_crash]
            lifetime = max(60, int(self.ends_at - time.monotonic()))
            self.host = HostSim(",".join(map(str, self.panels)), duration=lifetime,
                                readers=plan.READERS_PER_PANEL, extra=tuple(extra))
            self.scanned = 0
            self.put_out_hold()
            try:
                self.wait_online()
            except WaitTimeout:
                if self.host.process.poll() is not None and self.crashed():
                    self.end(killed=False)
                    continue
                raise
            self.pid = procstat.find_wine_process(self.host.process.pid, "host-sim.exe")
            self.peak_rss_kib = 0
            self.first_sample = self.sample()
            return

    def wait_online(self) -> None:
        offline = set(self.panels)
        while offline:
            line = self.host.wait_for(lambda line: line.get("kind") == "hold" or (
                line.get("kind") == "status" and line["panel"] in offline and line["panel_online"]),
                CONNECT_TIMEOUT_S, f"panels {','.join(map(str, sorted(offline)))} online")
            if line.get("kind") == "hold":
                return
            offline.discard(line["panel"])

    def end(self, killed: bool) -> None:
        """Collects the output of the process, which has ended or is stopped now."""
        self.host.stop()
        self.lives.append(HostLife(self.host.snapshot(), killed))
        self.host, self.pid = None, None

    def kill(self, in_callback: bool = False) -> None:
        """Ends the host process from outside, as TerminateProcess would, and
        starts the next one."""
        if self.pid:
            os.kill(self.pid, signal.SIGKILL)
        else:
            self.host.process.kill()
        self.end(killed=True)
        self.kills += 1
        self.kills_in_callback += in_callback
        self.start()

    def stop(self) -> None:
        """The last process, ended as Ctrl+C would end it."""
        if self.host:
            self.end(killed=False)
        self.hold_file.unlink(missing_ok=True)

    def crashed(self) -> bool:
        return any(line.get("kind") == "crash" for line in self.host.snapshot())

    def crashes(self) -> int:
        return sum(1 for life in self.lives if life.crashed_on is not None)

    # ------------------------------------------------------------ the run

    def kill_in_callback(self) -> None:
        """Asks for a kill inside the next card record's call-back."""
        self.holds_wanted += 1

    def watch(self) -> None:
        """Looked at every tick: restarts a process that crashed on the poison
        card, kills one that holds a call-back, and puts the hold file out for
        the next kill inside a call-back. RuntimeError when host-sim ended by
        itself for any other reason."""
        if self.host.process.poll() is not None:
            self.host.stop()
            if not self.crashed():
                raise RuntimeError(f"host-sim ended early with exit code {self.host.process.returncode}")
            self.end(killed=False)
            self.start()
        lines = self.host.snapshot()[self.scanned:]
        self.scanned += len(lines)
        if any(line.get("kind") == "hold" for line in lines):
            # host-sim took the file: the call-back is under way and waits.
            self.hold_placed = False
            self.holds_wanted = max(0, self.holds_wanted - 1)  # a withdrawn file may have been taken first
            self.kill(in_callback=True)
        self.put_out_hold()

    def put_out_hold(self) -> None:
        """The hold file, when a kill inside a call-back is wanted and none is
        out. It lists the cards a host process has ended in so far: the
        translator offers such a record once more, and a second end in its
        call-back would have it held back for good."""
        if self.holds_wanted <= 0 or self.hold_placed:
            return
        spared = set(ends_in_callback(self.lives))
        if self.poison_card is not None:
            spared.add(self.poison_card)
        written = self.hold_file.with_suffix(".new")
        written.write_text("".join(f"{card}\n" for card in sorted(spared)))
        written.replace(self.hold_file)  # whole, or not there at all, as host-sim reads it
        self.hold_placed = True

    @property
    def hold_wanted(self) -> bool:
        return self.holds_wanted > 0

    def withdraw_hold(self) -> None:
        """When no card record is left to hold: a hold file still out is taken
        back, and the kills inside a call-back still wanted do not happen."""
        if self.hold_placed:
            self.hold_file.unlink(missing_ok=True)
            self.hold_placed = False
        self.holds_wanted = 0

    def sample(self) -> Optional[Resources]:
        now = procstat.sample(self.pid) if self.pid else None
        if now:
            self.peak_rss_kib = max(self.peak_rss_kib, now.rss_kib)
        return now

    def card_events(self) -> int:
        lives = self.lives + ([HostLife(self.host.snapshot())] if self.host else [])
        return sum(1 for life in lives for line in life.lines
                   if line.get("kind") == "event" and line.get("data_type") == 2)
