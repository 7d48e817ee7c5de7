#!/usr/bin/env python3
"""The large-site benchmark: the translator DLL registered as a COM server,
host-sim playing the host for 1, 8 and 32 panels (each polling and asking for
status every second), against the Tallyport simulator holding a site of 5,000
doors, 20,000 readers and 500 handhelds. Beside it the floor: fetching and
parsing the four site lists alone. Prints a Markdown table.

    bench.py BUILD_DIR [--seconds 60] [--panels 1,8,32] [--scales 0.25,0.5,1] [--dll PATH]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
import urllib.request
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))
import large_site  # noqa: E402

PANEL_READERS = 625  # readers of one panel at scale 1: 20,000 dealt to 32 panels
SITE_WIDE = ("/api/corvanta/doors", "/api/corvanta/handhelds", "/api/corvanta/connected-readers")


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * (len(ordered) - 1) + 0.5))]


def winepath(path):
    return "Z:" + str(path).replace("/", "\\")


class Bench:
    def __init__(self, build, dll, log_level="none"):
        self.build = build
        self.log_level = log_level
        self.dll = dll
        self.work = build / "bench-large-site"
        self.module = self.work / "module"
        self.state = self.work / "simulator"
        self.env = dict(os.environ, TLY_BUILD_DIR=str(build))
        self.ready = None

    # ------------------------------------------------------------ set-up

    def wine(self, *args, **kwargs):
        return subprocess.run([str(ROOT / "tools/wine-run.sh"), *map(str, args)], env=self.env,
                              stdin=subprocess.DEVNULL, **kwargs)

    def control(self, method, path, body=None, timeout=60):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.ready["control_url"] + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return json.load(answer)

    def start(self, lifetime):
        shutil.rmtree(self.work, ignore_errors=True)
        self.module.mkdir(parents=True)
        self.state.mkdir(parents=True)
        subprocess.run([str(ROOT / "tools/wine-prefix.sh"), str(self.build), "init"], check=True)
        subprocess.run([str(ROOT / "tools/wine-prefix.sh"), str(self.build), "start"], check=True)
        out = subprocess.run(["/usr/bin/python3", str(ROOT / "tools/tallyport-sim/simctl.py"), "--state-dir",
                              str(self.state), "start", "--", "--port", "0", "--control-port", "0", "--quiet",
                              "--max-lifetime", str(lifetime)], check=True, capture_output=True, text=True)
        self.ready = json.loads(out.stdout)
        shutil.copy(self.dll, self.module / "TallyportAccessControlTranslator.dll")
        settings = {"version": 2,
                    "server": {"hostname": "127.0.0.1", "port": self.ready["port"],
                               "client_id": self.ready["client_id"], "client_secret": self.ready["client_secret"],
                               "validate_cert": False},
                    "logging": {"level": self.log_level}, "debug": {"plaintext_secret": True}}
        (self.module / "tallyport_settings.json").write_text(json.dumps(settings, indent=2))
        registered = self.wine("regsvr32", "/s", winepath(self.module / "TallyportAccessControlTranslator.dll"),
                               capture_output=True)
        if registered.returncode != 0:
            raise RuntimeError("regsvr32 failed")

    def stop(self):
        if self.ready:
            self.wine("regsvr32", "/u", "/s", winepath(self.module / "TallyportAccessControlTranslator.dll"),
                      capture_output=True)
            subprocess.run(["/usr/bin/python3", str(ROOT / "tools/tallyport-sim/simctl.py"), "--state-dir",
                            str(self.state), "stop"], capture_output=True)
        subprocess.run([str(ROOT / "tools/wine-prefix.sh"), str(self.build), "stop"])

    def load_site(self, scale):
        self.site = large_site.build(scale)
        self.control("POST", "/site", self.site, timeout=300)
        self.control("POST", "/requests/clear", {})

    # ------------------------------------------------------------ measurements

    def floor(self, rounds=30):
        out = self.wine(self.build / "bin/bench-floor.exe", self.ready["port"], self.ready["client_id"],
                        self.ready["client_secret"], 1, rounds, capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            raise RuntimeError("bench-floor: " + out.stderr)
        return json.loads(out.stdout.strip().splitlines()[-1])

    def run_hosts(self, panels, seconds, readers, change_at=None):
        """host-sim for panels 1..N; returns its lines, request counts per
        second, memory samples and the moments of the injected change."""
        self.control("POST", "/requests/clear", {})
        host = subprocess.Popen([str(ROOT / "tools/wine-run.sh"), str(self.build / "bin/host-sim.exe"),
                                 "--panels", ",".join(str(p) for p in range(1, panels + 1)),
                                 "--duration", str(seconds), "--readers", str(readers), "--json", "--timings"],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        started = time.monotonic()
        lines = []

        def read():
            for line in host.stdout:
                try:
                    item = json.loads(line)
                except ValueError:
                    continue
                item["at"] = time.monotonic() - started
                lines.append(item)

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        memory, requests, changes, seq = [], Counter(), [], 0
        change_done = change_at is None
        while host.poll() is None:
            time.sleep(2)
            now = time.monotonic() - started
            rss, cpu = self.rss_kib(host.pid), self.cpu_seconds(host.pid)
            if rss and cpu is not None:
                memory.append((now, rss, cpu))
            answer = self.control("GET", f"/requests?since_seq={seq}")
            for entry in answer["requests"]:
                seq = max(seq, entry["seq"])
                requests[(int(entry["time"]), entry["path"])] += 1
            if not change_done and now >= change_at:
                changes = self.inject_changes()
                changes = [(what, reader_id, moment - started) for what, reader_id, moment in changes]
                change_done = True
        reader.join(timeout=30)
        with open(self.work / f"host-{panels}-panels.jsonl", "w") as kept:
            kept.writelines(json.dumps(line) + "\n" for line in lines)
        return lines, requests, memory, changes

    @staticmethod
    def rss_kib(pid):
        # wine-run.sh execs wine, which runs the program in the same process.
        try:
            for line in Path(f"/proc/{pid}/status").read_text().splitlines():
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        except OSError:
            return None
        return None

    @staticmethod
    def cpu_seconds(pid):
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, IndexError, ValueError):
            return None

    def inject_changes(self):
        """Disconnects a connected handheld whose reader is on panel 1, then
        connects it again; returns (what, reader number, moment) for each."""
        handheld = next(h for h in self.site["handhelds"]
                        if h["id"] in self.site["connected"] and h["external_id"].startswith("1:"))
        reader_id = int(handheld["external_id"].split(":")[1])
        changes = [("disconnect", reader_id, time.monotonic())]
        self.control("POST", "/handhelds/disconnect", {"id": handheld["id"]})
        time.sleep(4)
        changes.append(("connect", reader_id, time.monotonic()))
        self.control("POST", "/handhelds/connect", {"id": handheld["id"]})
        return changes


def summarise(lines, requests, memory, changes, seconds, warmup):
    steady_end = min(c[2] for c in changes) if changes else seconds
    steady_minutes = max(steady_end - warmup, 1) / 60
    timings = [line["status_ms"] for line in lines if line["kind"] == "timing" and warmup <= line["at"] < steady_end]
    records = [line for line in lines if line["kind"] == "event" and line.get("data_type") == 19
               and line.get("device_id", 0) != 0]
    steady_records = [r for r in records if warmup <= r["at"] < steady_end]

    first_second = min((second for second, _ in requests), default=0)
    counted = Counter()
    site_wide_per_second = Counter()
    for (second, path), n in requests.items():
        offset = second - first_second
        if warmup <= offset < steady_end:
            counted[path] += n
            if path in SITE_WIDE:
                site_wide_per_second[offset] += n / len(SITE_WIDE)
    total = sum(counted.values())

    steady_memory = [rss for at, rss, _ in memory if at >= warmup]
    steady_cpu = [(at, cpu) for at, _, cpu in memory if warmup <= at <= steady_end]
    cpu_per_min = ((steady_cpu[-1][1] - steady_cpu[0][1]) / ((steady_cpu[-1][0] - steady_cpu[0][0]) / 60)
                   if len(steady_cpu) > 1 and steady_cpu[-1][0] > steady_cpu[0][0] else float("nan"))
    reached = []
    for what, reader_id, moment in changes:
        wanted = 0 if what == "disconnect" else 1
        hits = [r["at"] - moment for r in records
                if r["panel"] == 1 and r["device_id"] == reader_id and r["status"] == wanted and r["at"] >= moment]
        reached.append(f"{what} {min(hits):.1f} s" if hits else f"{what} never")
    return {
        "requests_per_min": total / steady_minutes,
        "site_lists_per_s": statistics.mean(site_wide_per_second.values()) if site_wide_per_second else 0.0,
        "status_p50": percentile(timings, 0.5),
        "status_p99": percentile(timings, 0.99),
        "status_count": len(timings),
        "records_per_min": len(steady_records) / steady_minutes,
        "rss_start_mib": steady_memory[0] / 1024 if steady_memory else float("nan"),
        "rss_end_mib": steady_memory[-1] / 1024 if steady_memory else float("nan"),
        "rss_max_mib": max(steady_memory) / 1024 if steady_memory else float("nan"),
        "cpu_s_per_min": cpu_per_min,
        "changes": ", ".join(reached),
        "by_path": counted,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("--seconds", type=int, default=60, help="length of each panel run")
    parser.add_argument("--panels", default="1,8,32")
    parser.add_argument("--scales", default="0.25,0.5,1", help="site sizes of the one-panel growth runs")
    parser.add_argument("--scale-seconds", type=int, default=30)
    parser.add_argument("--warmup", type=int, default=15)
    parser.add_argument("--json-out", type=Path)
    parser.add_argument("--dll", type=Path, help="the translator DLL to measure (default: the build's)")
    parser.add_argument("--log-level", default="none", help="the translator's log level (its log stays in the "
                        "work directory's module folder)")
    args = parser.parse_args()
    build = args.build.resolve()
    panel_counts = [int(p) for p in args.panels.split(",") if p]
    scales = [float(s) for s in args.scales.split(",") if s]

    bench = Bench(build, (args.dll or build / "bin/TallyportAccessControlTranslator.dll").resolve(), args.log_level)
    lifetime = len(panel_counts) * (args.seconds + 120) + len(scales) * (args.scale_seconds + 180) + 600
    results = {"panels": {}, "scales": {}}
    try:
        bench.start(lifetime)
        for scale in scales:
            bench.load_site(scale)
            floor = bench.floor()
            run = bench.run_hosts(1, args.scale_seconds, max(1, int(PANEL_READERS * scale)))
            summary = summarise(*run, args.scale_seconds, min(args.warmup, args.scale_seconds // 3))
            results["scales"][scale] = {"floor": floor, "run": summary}
            print(f"scale {scale}: floor p50 {floor['p50_ms']:.1f} ms, status p50 {summary['status_p50']:.1f} ms",
                  file=sys.stderr, flush=True)
        bench.load_site(1.0)
        floor = bench.floor()
        results["floor"] = floor
        for panels in panel_counts:
            run = bench.run_hosts(panels, args.seconds, PANEL_READERS, change_at=args.seconds * 2 // 3)
            results["panels"][panels] = summarise(*run, args.seconds, args.warmup)
            print(f"{panels} panels done", file=sys.stderr, flush=True)
    finally:
        bench.stop()

    print_tables(results, args)
    if args.json_out:
        serialisable = json.loads(json.dumps(results, default=lambda o: dict(o) if isinstance(o, Counter) else str(o)))
        args.json_out.write_text(json.dumps(serialisable, indent=2))
    return 0


def print_tables(results, args):
    floor = results["floor"]
    print(f"\nLarge site: 5,000 doors, 20,000 readers (625 a panel), 500 handhelds (250 connected); "
          f"{args.seconds} s a run, the first {args.warmup} s left out")
    print(f"Floor (four lists fetched and parsed, one client, {floor['rounds']} rounds): "
          f"p50 {floor['p50_ms']:.1f} ms, p99 {floor['p99_ms']:.1f} ms\n")
    print("| Panels | Server requests/min | Site-wide list loads/s | Status p50 / p99 (ms) | p50 / floor "
          "| Reader records/min at host | Host CPU s/min | RSS start → end (max) MiB | Real change reached host |")
    print("|---|---|---|---|---|---|---|---|---|")
    for panels, r in results["panels"].items():
        print(f"| {panels} | {r['requests_per_min']:.0f} | {r['site_lists_per_s']:.2f} | "
              f"{r['status_p50']:.1f} / {r['status_p99']:.1f} | {r['status_p50'] / floor['p50_ms']:.2f}x | "
              f"{r['records_per_min']:.0f} | {r['cpu_s_per_min']:.1f} | {r['rss_start_mib']:.1f} → {r['rss_end_mib']:.1f} "
              f"({r['rss_max_mib']:.1f}) | {r['changes']} |")
    print("\nGrowth with the site (one panel):\n")
    print("| Site scale | Readers | Floor p50 (ms) | Status p50 / p99 (ms) | p50 / floor | Host CPU s/min |")
    print("|---|---|---|---|---|---|")
    for scale, r in results["scales"].items():
        run, floor_at = r["run"], r["floor"]
        print(f"| {scale:g} | {int(20000 * scale):,} | {floor_at['p50_ms']:.1f} | "
              f"{run['status_p50']:.1f} / {run['status_p99']:.1f} | {run['status_p50'] / floor_at['p50_ms']:.2f}x | "
              f"{run['cpu_s_per_min']:.1f} |")
    print("\nServer requests per minute by path:\n")
    for panels, r in results["panels"].items():
        top = ", ".join(f"{path.replace('/api/corvanta', '')} {n / ((args.seconds * 2 // 3 - args.warmup) / 60):.0f}"
                        for path, n in r["by_path"].most_common(6))
        print(f"- {panels} panels: {top}")


if __name__ == "__main__":
    sys.exit(main())
