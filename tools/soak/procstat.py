"""The resources of a Wine process, read from Linux. Under Wine the Windows
process-status calls answer 0, so leaks show only here: the process's open
descriptors (/proc/PID/fd), its threads and resident memory (/proc/PID/status).
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Optional

from tally import Resources

PROC = Path("/proc")


def _parent(pid: int) -> Optional[int]:
    try:
        for line in (PROC / str(pid) / "status").read_text().splitlines():
            if line.startswith("PPid:"):
                return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def _descends_from(pid: int, ancestor: int) -> bool:
    for _ in range(16):
        if pid == ancestor:
            return True
        parent = _parent(pid)
        if not parent or parent == pid:
            return False
        pid = parent
    return False


def find_wine_process(launcher_pid: int, program: str) -> Optional[int]:
    """The process running `program` (its file name) that the launcher started:
    the launcher itself once Wine has replaced it, or one of its descendants."""
    needle = program.lower().encode()
    for entry in PROC.iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes().lower()
        except OSError:
            continue
        if needle in command and _descends_from(int(entry.name), launcher_pid):
            return int(entry.name)
    return None


def sample(pid: int) -> Optional[Resources]:
    """The process's resources now; None once it is gone."""
    try:
        status = {}
        for line in (PROC / str(pid) / "status").read_text().splitlines():
            key, _, value = line.partition(":")
            status[key] = value.split()
        descriptors = len(os.listdir(PROC / str(pid) / "fd"))
        return Resources(descriptors, int(status["Threads"][0]), int(status["VmRSS"][0]))
    except (OSError, KeyError, IndexError, ValueError):
        return None
