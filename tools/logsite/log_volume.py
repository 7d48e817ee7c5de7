"""How much a site's log grows, and what an outage leaves in it.

host-sim plays the host for many panels against the registered translator and
a private simulator, at log level info. The run is healthy for a while (with a
swipe now and then), then the server goes away for a while, then it comes back.
The report gives the healthy rate projected to a day, the bytes the outage
wrote, and the lines an operator would look for: per panel one "lost" line with
its cause, the summaries of the failures that repeated, one "restored" line.

    python3 tools/logsite/log_volume.py --panels 32 --healthy 600 --outage 600 --after 120
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import threading
import time
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "system"))
from system_support import BUILD_DIR, HostSim, ModuleDirectory, Registration, Simulator  # noqa: E402

READERS_PER_PANEL = 8


def site(panels: int) -> dict:
    readers = {str(p): [{"id": p * 100 + r, "external_id": f"{p}:{r}", "name": f"Panel {p} reader {r}", "guid": "",
                         "door_id": p} for r in range(1, READERS_PER_PANEL + 1)] for p in range(1, panels + 1)}
    doors = [{"id": p, "name": f"Door {p}", "external_id": f"DOOR-{p}", "external_entry_reader_id": p * 100 + 1,
              "external_exit_reader_id": p * 100 + 2} for p in range(1, panels + 1)]
    return {"doors": doors, "handhelds": [], "readers": readers, "connected": []}


def log_bytes(module: ModuleDirectory) -> int:
    return sum(path.stat().st_size for path in module.path.glob("tly_translator*.log")
               if "bootstrap" not in path.name)


def log_lines(module: ModuleDirectory) -> list[dict]:
    lines = []
    for path in sorted(module.path.glob("tly_translator*.log"), reverse=True):
        if "bootstrap" in path.name:
            continue
        for raw in path.read_text(errors="replace").splitlines():
            try:
                lines.append(json.loads(raw))
            except ValueError:
                pass
    return lines


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--panels", type=int, default=32)
    parser.add_argument("--warm-up", type=int, default=60)
    parser.add_argument("--healthy", type=int, default=600)
    parser.add_argument("--outage", type=int, default=600)
    parser.add_argument("--after", type=int, default=120)
    parser.add_argument("--swipe-every", type=float, default=10.0)
    options = parser.parse_args()

    total = options.warm_up + options.healthy + options.outage + options.after
    work = BUILD_DIR / "logsite"
    simulator = Simulator(work / "simulator", max_lifetime=total + 300).start()
    registration = None
    host = None
    try:
        simulator.control("POST", "/site", site(options.panels))
        module = ModuleDirectory(work / "module")
        module.write_settings(simulator.port, level="info")
        registration = Registration(module)
        panels = ",".join(str(p) for p in range(1, options.panels + 1))
        host = HostSim(panels, duration=total + 60, readers=READERS_PER_PANEL)

        stop_swipes = threading.Event()
        serving = threading.Event()
        serving.set()

        def swipe() -> None:
            while not stop_swipes.wait(options.swipe_every):
                if serving.is_set():
                    panel = random.randint(1, options.panels)
                    simulator.call("POST", "/activities", {"reader_external_id": f"{panel}:1",
                                                           "badge_no": random.randint(1, 10**9)})

        swiper = threading.Thread(target=swipe, daemon=True)
        swiper.start()

        time.sleep(options.warm_up)
        healthy_start = log_bytes(module)
        time.sleep(options.healthy)
        healthy_bytes = log_bytes(module) - healthy_start

        serving.clear()
        outage_mark = len(log_lines(module))
        outage_start_bytes = log_bytes(module)
        simulator.control("POST", "/server/stop", {"mode": "reset"})
        time.sleep(options.outage)
        outage_bytes = log_bytes(module) - outage_start_bytes
        simulator.control("POST", "/server/start")
        serving.set()
        time.sleep(options.after)
        stop_swipes.set()

        lines = log_lines(module)[outage_mark:]
        events = Counter(line.get("event") for line in lines)
        lost = [line for line in lines if line.get("event") == "panel.link_lost"]
        restored = [line for line in lines if line.get("event") == "panel.link_restored"]
        summaries = [line for line in lines if line.get("event") == "still_failing"]
        per_day = healthy_bytes / options.healthy * 86400
        report = {
            "panels": options.panels,
            "healthy_seconds": options.healthy,
            "healthy_bytes": healthy_bytes,
            "healthy_mb_per_day": round(per_day / 1048576, 2),
            "outage_seconds": options.outage,
            "outage_bytes": outage_bytes,
            "outage_mb_per_8_hours": round(outage_bytes / options.outage * 8 * 3600 / 1048576, 2),
            "lost_lines": len(lost),
            "lost_panels": len({line["fields"].get("panel_id") for line in lost}),
            "lost_causes": sorted({line["fields"].get("cause_text", "") for line in lost}),
            "restored_lines": len(restored),
            "summaries": len(summaries),
            "summaries_by_event": Counter(line["fields"].get("repeated_event") for line in summaries),
            "top_events_from_outage_on": events.most_common(12),
        }
        print(json.dumps(report, indent=2))
        return 0
    finally:
        if host:
            host.stop()
        if registration:
            registration.undo()
        simulator.stop()


if __name__ == "__main__":
    sys.exit(main())
