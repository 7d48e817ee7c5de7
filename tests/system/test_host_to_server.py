"""The whole system: host-sim drives the registered translator, the translator
talks to the Tallyport simulator, and the event records that reach the host's
sink are checked against what the simulator was told to do.

Each case has its own module directory (its own DLL copy, settings, log and
badge files) and its own simulator, and registers its copy for its run only.
"""

from __future__ import annotations

import base64
import json
import math
import re
import shutil
import subprocess
import tempfile
import unittest
from datetime import datetime
from pathlib import Path

from system_support import (BUILD_DIR, SOURCE_DIR, CLIENT_SECRET, HostSim, ModuleDirectory, Registration, Simulator,
                            TranslatorLog, is_comm_event, is_status_record, wait_until, wine)

CASES_DIR = BUILD_DIR / "system-tests"

# A panel with five readers; handheld 101 is reader 4 and serves a door whose
# entry and exit readers are 1 and 2; door 3 has reader 3 for entry only.
SITE = {
    "doors": [
        {"id": 1, "name": "Main Entrance", "external_id": "DOOR-1",
         "external_entry_reader_id": 11, "external_exit_reader_id": 12},
        {"id": 3, "name": "Site Office", "external_id": "DOOR-3",
         "external_entry_reader_id": 13, "external_exit_reader_id": 0},
    ],
    "handhelds": [
        {"id": 101, "name": "Handheld North", "guid": "hh-north-0001", "external_id": "1:4", "door_id": 1},
    ],
    "readers": {"1": [
        {"id": 11, "external_id": "1:1", "name": "Main Entrance In", "guid": "", "door_id": 1},
        {"id": 12, "external_id": "1:2", "name": "Main Entrance Out", "guid": "", "door_id": 1},
        {"id": 13, "external_id": "1:3", "name": "Site Office In", "guid": "", "door_id": 3},
        {"id": 101, "external_id": "1:4", "name": "Handheld North", "guid": "hh-north-0001", "door_id": 1},
        {"id": 14, "external_id": "1:5", "name": "Yard Gate", "guid": "", "door_id": 0},
    ]},
    "connected": [],
}

# Generous bounds: the host polls about once a second, reconnects at most every
# 30 s, and the machine is shared.
CONNECT_TIMEOUT = 60
RECONNECT_TIMEOUT = 120
EVENT_TIMEOUT = 30
# How long the outage lasts, by the translator's own log, and how many error
# or warn lines a panel may write a minute beyond each failure's first.
OUTAGE_SECONDS = 30
MOST_REPEATED_LINES_A_MINUTE = 10


def run_recipe(command: str, directory: Path) -> list:
    """A jq command of the documentation, run in the log's folder; its output
    lines as JSON. The command names every rotated file there may be: jq's
    complaint about one that does not exist (exit code 2) is no failure."""
    result = subprocess.run(["bash", "-c", command], cwd=directory, capture_output=True, text=True, timeout=60)
    missing = all(re.fullmatch(r"jq: error: Could not open (file )?tly_translator\.\d+\.log: No such file or directory",
                               line) for line in result.stderr.splitlines())
    if result.returncode != 0 and not (result.returncode == 2 and missing):
        raise AssertionError(f"{command}: {result.stderr}")
    return [json.loads(line) for line in result.stdout.splitlines() if line.strip()]


def log_time(line: dict) -> datetime:
    return datetime.fromisoformat(line["timestamp"])


def repeated_lines_by_panel(lines: list[dict], panels: list[int]) -> dict[int, int]:
    """The error and warn lines beyond each failure's first (a failure: an
    event and its panel), counted for their panel; a line that names no panel
    counts for every panel."""
    seen: set = set()
    repeated = {panel: 0 for panel in panels}
    for line in lines:
        if line.get("level") not in ("error", "warn"):
            continue
        panel = line.get("fields", {}).get("panel_id")
        failure = (line.get("event"), panel)
        if failure in seen:
            for counted in ([panel] if panel in repeated else panels):
                repeated[counted] += 1
        seen.add(failure)
    return repeated


def documented_recipes() -> dict:
    """The two jq commands of each document, (offline, swipe) by document name."""
    recipes = {}
    for document in (SOURCE_DIR / "README.md", SOURCE_DIR / "tools" / "dist" / "DEPLOYING.txt"):
        recipes[document.name] = [line.strip() for line in document.read_text().splitlines()
                                  if line.strip().startswith("jq ")]
    return recipes


def online_readers(lines: list[dict], panel: int) -> set[int]:
    """The readers of a panel that the host's records leave online."""
    online: set[int] = set()
    for line in lines:
        if is_status_record(line, panel) and line["device_id"] != 0:
            (online.add if line["status"] == 1 else online.discard)(line["device_id"])
    return online


class SystemCase(unittest.TestCase):
    """Fixture: a simulator with the test site, a module directory, the
    registration and, once started, host-sim; all undone at the end."""

    def start_simulator(self, name: str, **options) -> Simulator:
        simulator = Simulator(self.case_dir / name, **options).start()
        self.addCleanup(simulator.stop)
        simulator.control("POST", "/site", SITE)
        return simulator

    def prepare(self, name: str) -> None:
        self.case_dir = CASES_DIR / name
        if self.case_dir.exists():
            shutil.rmtree(self.case_dir)
        self.module = ModuleDirectory(self.case_dir / "module")
        self.log = TranslatorLog(self.module.log_path)

    def register(self) -> None:
        self.addCleanup(Registration(self.module).undo)

    def run_host(self, panels: str = "1") -> HostSim:
        """host-sim for the panels (readers 1 to 5 each) until the test ends
        it; its output is kept beside the module directory for a look after a
        failure."""
        self.host_runs = getattr(self, "host_runs", 0) + 1
        host = HostSim(panels, duration=600, readers=5)
        self.addCleanup(self.keep_output, host, self.case_dir / f"host-sim-{self.host_runs}.jsonl")
        self.addCleanup(host.stop)
        return host

    @staticmethod
    def keep_output(host: HostSim, path: Path) -> None:
        with open(path, "w") as output:
            output.writelines(json.dumps(line) + "\n" for line in host.snapshot())

    def wait_online(self, host: HostSim, start: int = 0) -> dict:
        """The restored record a status request sends once the initial data
        were fetched (it follows the host's online status)."""
        host.wait_for(lambda line: line.get("kind") == "status" and line["panel"] == 1 and line["panel_online"],
                      CONNECT_TIMEOUT, "online status", start)
        return host.wait_for(lambda line: is_comm_event(line, 1, 77), CONNECT_TIMEOUT, "restored record", start)

    def assert_record(self, record: dict, **expected) -> None:
        actual = {key: record.get(key) for key in expected}
        self.assertEqual(actual, expected, f"record {record}")


class HostToServerTest(SystemCase):

    def test_swipes_readers_outage_and_badge_file_replay(self):
        self.prepare("host_to_server")
        simulator = self.start_simulator("simulator")
        self.module.write_settings(simulator.port, badge_file=True)
        self.register()
        # Panel 2 is there for the outage: each panel's failures are folded on their own.
        host = self.run_host("1,2")
        self.wait_online(host)

        # One swipe and one panic alarm, from the server to the host's sink.
        mark = host.mark()
        swiped = simulator.control("POST", "/activities", {
            "reader_external_id": "1:2", "badge_no": 5000000001, "entry_granted": False, "notes": "Badge Expired",
            "timestamp": "2024-03-01T08:05:09Z"})
        swipe = host.wait_for(lambda line: line.get("card_number") == 5000000001, EVENT_TIMEOUT, "swipe record", mark)
        self.assert_record(swipe, panel=1, sink_panel=1, message_type=0, event_type=1, event_id=63, device_id=2,
                           data_type=2, card_number=5000000001, issue_code=0xFFFFFFFF, bio_score=0,
                           time=1709280309, text=None)
        simulator.control("POST", "/activities", {
            "kind": "alarm", "source_type": 4, "reader_external_id": "1:4", "badge_no": 4711,
            "timestamp": "2024-03-01T08:06:00Z"})
        alarm = host.wait_for(lambda line: line.get("card_number") == 4711, EVENT_TIMEOUT, "alarm record", mark)
        self.assert_record(alarm, panel=1, message_type=0, event_type=2, event_id=3, device_id=4, data_type=2,
                           issue_code=0xFFFFFFFF, time=1709280360,
                           text="Panic Alarm: Badge 4711 at Main Entrance (2024-03-01T08:06:00Z)")
        activities = simulator.control("POST", "/wait/pending", {"max": 0, "timeout_ms": EVENT_TIMEOUT * 1000})
        self.assertEqual(activities.get("pending_count", 0), 0)

        # Reader records follow the handheld: its own reader and its door's go
        # online with it, move with it and go offline with it. The host's
        # status request and its records must agree once a poll has run.
        for action, body, expected in [
            ("/handhelds/connect", {"id": 101}, {1, 2, 4}),
            ("/handhelds/door", {"id": 101, "door_id": 3}, {3, 4}),
            ("/handhelds/disconnect", {"id": 101}, set()),
        ]:
            with self.subTest(action=action):
                mark = host.mark()
                simulator.control("POST", action, body)
                host.wait_for(lambda line: line.get("kind") == "status" and line["panel"] == 1
                              and set(line["readers_online"]) == expected, EVENT_TIMEOUT,
                              f"status with readers {sorted(expected)} online", mark)
                wait_until(lambda: online_readers(host.snapshot(), 1) == expected, EVENT_TIMEOUT,
                           f"reader records leaving {sorted(expected)} online")

        # The server goes away: communication lost. Its connections are reset
        # (an orderly close goes unseen by Wine's WebSocket client until its
        # 30 s keep-alive). It stays away for OUTAGE_SECONDS, long enough for
        # every poll's failures to repeat: they are written in full once, then
        # summarised (checked at the end).
        mark = host.mark()
        outage_start = self.log.mark()
        simulator.control("POST", "/server/stop", {"mode": "reset"})
        lost = host.wait_for(lambda line: is_comm_event(line, 1, 76), RECONNECT_TIMEOUT, "lost record", mark)
        host.wait_for(lambda line: is_status_record(line, 1, 0, status=0), EVENT_TIMEOUT, "panel offline", mark)
        self.assertEqual(online_readers(host.snapshot()[:host.index_of(lost)], 1), set(),
                         "readers online by the records before the loss")
        self.hold_outage(outage_start)

        # A badge event file written while the server is away is replayed once
        # communication is restored; a record of another panel stays. The
        # panels share what they know of the server side, so the replay may
        # follow the restore that panel 2's poll completed.
        self.module.write_json(self.module.pending_path, [
            {"panel_id": 1, "reader_id": 3, "card_number": 880001, "type": "denied", "deny_reason": "passback",
             "timestamp": "2024-03-01T08:05:09"},
            {"panel_id": 9, "reader_id": 1, "card_number": 990001, "type": "granted"},
        ])
        mark = host.mark()
        outage_end = self.log.mark()
        simulator.control("POST", "/server/start")
        restored = host.wait_for(lambda line: is_comm_event(line, 1, 77), RECONNECT_TIMEOUT, "restored record", mark)
        host.wait_for(lambda line: is_status_record(line, 1, 0, status=1), EVENT_TIMEOUT, "panel online", mark)
        replayed = host.wait_for(lambda line: line.get("card_number") == 880001, EVENT_TIMEOUT, "replayed record",
                                 mark)
        first_restored = next(index for index, line in enumerate(host.snapshot())
                              if index >= mark and line.get("kind") == "event" and line["event_type"] == 4
                              and line["event_id"] == 77 and line["data_type"] == 3)
        self.assertLessEqual(first_restored, host.index_of(restored))
        self.assertLess(first_restored, host.index_of(replayed))
        self.assert_record(replayed, panel=1, message_type=0, event_type=1, event_id=21, device_id=3, data_type=2,
                           issue_code=0xFFFFFFFF, time=1709280309)
        sent = wait_until(lambda: self.module.read_json(self.module.sent_path), EVENT_TIMEOUT, "the sent file")
        self.assertEqual([(record["card_number"], record["result"]) for record in sent], [(880001, "ok")])
        self.assertIn("sent_at", sent[0])
        self.assertEqual(self.module.read_json(self.module.pending_path),
                         [{"panel_id": 9, "reader_id": 1, "card_number": 990001, "type": "granted"}])
        self.assertFalse(any(line.get("card_number") == 990001 for line in host.snapshot()))

        self.assertEqual(host.stop(), 0)
        self.assert_outage_folded(outage_start, outage_end, [1, 2])
        self.assert_log_recipes_answer(swiped["added"][0])

    def hold_outage(self, start: int) -> None:
        """Until the translator's log shows it OUTAGE_SECONDS without the
        server: the first line of the outage, and one written that long after."""
        def span() -> float:
            lines = self.log.lines()[start:]
            return (log_time(lines[-1]) - log_time(lines[0])).total_seconds() if lines else 0.0
        wait_until(lambda: span() >= OUTAGE_SECONDS, RECONNECT_TIMEOUT, f"{OUTAGE_SECONDS} s of outage in the log")

    def assert_outage_folded(self, start: int, end: int, panels: list[int]) -> None:
        """A failure that repeats while the server is away is written in full
        once per panel, then summarised: beyond each failure's first line, at
        most MOST_REPEATED_LINES_A_MINUTE error or warn lines a panel a minute."""
        lines = self.log.lines()[start:end]
        self.assertTrue(lines)
        minutes = math.ceil(max((log_time(lines[-1]) - log_time(lines[0])).total_seconds(), 1.0) / 60)
        repeated = repeated_lines_by_panel(lines, panels)
        for panel in panels:
            with self.subTest(panel=panel):
                self.assertLessEqual(repeated[panel], MOST_REPEATED_LINES_A_MINUTE * minutes,
                                     f"{repeated[panel]} repeated error or warn lines in {minutes} min")

    def assert_log_recipes_answer(self, activity_id: int) -> None:
        """The jq commands of the README and DEPLOYING.txt, run as printed on this
        run's log: the outage is one lost line with its cause and one restored
        line, and the swipe's lines show it delivered, then marked."""
        if not shutil.which("jq"):
            self.skipTest("jq is not installed")
        for document, commands in documented_recipes().items():
            self.assertEqual(len(commands), 2, document)
            offline, swipe = commands
            with self.subTest(document=document):
                lines = run_recipe(offline, self.module.log_path.parent)
                self.assertEqual([line[1] for line in lines], ["panel.link_lost", "panel.link_restored"], lines)
                self.assertTrue(lines[0][2] and lines[0][3], lines)
                lines = run_recipe(swipe.replace("1234", str(activity_id)), self.module.log_path.parent)
                events = [line[1] for line in lines]
                self.assertIn("activities.processing", events, lines)
                self.assertIn("activities.marked", events, lines)
                self.assertLess(events.index("activities.processing"), events.index("activities.marked"), lines)


class LogRecipeOrderTest(unittest.TestCase):
    """The documented jq commands over a rotated log: the lines come in time
    order, oldest rotated file first, the live log last."""

    def test_answers_come_in_time_order_across_rotated_files(self):
        if not shutil.which("jq"):
            self.skipTest("jq is not installed")
        line = ('{{"timestamp":"2026-12-10T10:0{minute}:00.000","level":"info","component":"tly_api",'
                '"event":"{event}","message":"m","process_id":1,"thread_id":1,'
                '"fields":{{"panel_id":1,"adm_id":1234,"cause_text":"refused","since":"t"}}}}\n')
        events = ["panel.link_lost", "panel.link_restored"]
        with tempfile.TemporaryDirectory(prefix="tly-recipes-") as folder:
            # Three files kept of the default three: .3 does not exist yet.
            for minute, name in enumerate(["tly_translator.2.log", "tly_translator.1.log", "tly_translator.log"]):
                (Path(folder) / name).write_text(
                    "".join(line.format(minute=minute, event=events[(minute + i) % 2]) for i in range(2)))
            for document, commands in documented_recipes().items():
                for command in commands:
                    with self.subTest(document=document, command=command[:40]):
                        times = [answer[0] for answer in run_recipe(command, Path(folder))]
                        self.assertEqual(len(times), 6, times)
                        self.assertEqual(times, sorted(times))


class LiveStatusTest(SystemCase):

    def status_files(self) -> list[dict]:
        """Every status file beside the log, read from Linux; one replaced
        whole by a rename is never seen half-written."""
        found = []
        for path in sorted(self.module.path.glob("tly_status_*.json")):
            try:
                found.append(json.loads(path.read_text()))
            except (OSError, ValueError) as error:
                self.fail(f"{path.name} unreadable: {error}")
        return found

    def panel_in_file(self, panel: int, link: str):
        """The status file and its panel's entry once the panel shows the link."""
        for status in self.status_files():
            for entry in status["panels"]:
                if entry["panel_id"] == panel and entry["link"] == link:
                    return status, entry
        return None

    def check_status(self) -> tuple[int, dict]:
        """tallyport-check --status --json beside the DLL: its exit code and report."""
        done = wine(str(self.module.path / "tallyport-check.exe"), "--status", "--json")
        return done.returncode, json.loads(done.stdout)

    def assert_monitoring_recipe_reads(self, report: dict) -> None:
        """The scheduled "offline > 5 min" command of both documents is one
        command, and every member it reads is in the check's answer (no
        PowerShell here to run it)."""
        commands = {document.name: [line.strip() for line in document.read_text().splitlines()
                                    if line.strip().startswith("powershell ")]
                    for document in (SOURCE_DIR / "tools" / "dist" / "DEPLOYING.txt",
                                     SOURCE_DIR / "tools" / "tallyport-check" / "README.md")}
        self.assertEqual(list(map(len, commands.values())), [1, 1], commands)
        [first], [second] = commands.values()
        self.assertEqual(first, second)
        self.assertIn("--status --json", first)
        process = report["processes"][0]
        panel = process["status"]["panels"][0]
        for member in re.findall(r"\$_\.(\w+(?:\.\w+)*)", first):
            value = process if member in ("stale", "status.panels") else panel
            for part in member.split("."):
                self.assertIn(part, value, member)
                value = value[part]

    def test_the_status_follows_the_link_and_goes_stale_with_the_host(self):
        self.prepare("live_status")
        simulator = self.start_simulator("simulator")
        self.module.write_settings(simulator.port)
        shutil.copy2(BUILD_DIR / "bin" / "tallyport-check.exe", self.module.path)
        self.register()
        host = self.run_host()
        self.wait_online(host)
        wait_until(lambda: (found := self.panel_in_file(1, "up")) and found[1]["last_status_request"], EVENT_TIMEOUT,
                   "panel 1 up, and asked for its status, in the status file")

        code, report = self.check_status()
        self.assertEqual(code, 0, report)
        [process] = report["processes"]
        self.assertFalse(process["stale"], process)
        self.assertEqual(process["status"]["process"]["settings"], "loaded")
        [panel] = process["status"]["panels"]
        self.assertEqual((panel["panel_id"], panel["link"], panel["event_channel"]), (1, "up", "up"))
        self.assertIsNotNone(panel["last_status_request"])

        # The server goes away: the first picture that shows the loss was
        # written within 2 s of it, by the translator's own clock.
        mark = host.mark()
        simulator.control("POST", "/server/stop", {"mode": "reset"})
        host.wait_for(lambda line: is_comm_event(line, 1, 76), RECONNECT_TIMEOUT, "lost record", mark)
        status, entry = wait_until(lambda: self.panel_in_file(1, "down"), EVENT_TIMEOUT, "panel 1 down",
                                   step=0.05)
        since = datetime.fromisoformat(entry["link_since"].replace("Z", "+00:00"))
        heartbeat = datetime.fromisoformat(status["process"]["heartbeat"].replace("Z", "+00:00"))
        self.assertLessEqual((heartbeat - since).total_seconds(), 2, status)
        self.assertIsNotNone(entry["last_loss_cause"], entry)
        lost = self.log.wait_event("panel.link_lost", EVENT_TIMEOUT)
        self.assertEqual(entry["last_loss_cause"], lost["fields"]["cause"])

        code, report = self.check_status()
        self.assertEqual(code, 0, report)
        self.assertEqual(report["processes"][0]["status"]["panels"][0]["link"], "down")
        self.assert_monitoring_recipe_reads(report)

        # The host killed: its file stays, and reads as stale.
        host.process.kill()
        host.process.wait(timeout=60)
        def stale():
            code, report = self.check_status()
            return (code, report) if report["processes"] and report["processes"][0]["stale"] else None
        code, report = wait_until(stale, EVENT_TIMEOUT, "the killed host's status stale")
        self.assertEqual(code, 1, report)
        self.assertEqual(report["processes"][0]["stale_reason"], "process gone")


class SettingsAndSecurityTest(SystemCase):

    def test_settings_edits_take_effect_while_running(self):
        self.prepare("settings_edit")
        first = self.start_simulator("first")
        second = self.start_simulator("second", certificates_from=first.state_dir)
        self.module.write_settings(first.port, level="info")
        self.register()
        host = self.run_host()
        self.wait_online(host)

        # The secret typed in plain text is stored encrypted after the first load.
        stored = self.module.settings()["server"]["client_secret"]
        self.assertTrue(stored.startswith("DPAPI:"), stored)
        self.assertNotIn(CLIENT_SECRET.encode(), base64.b64decode(stored[len("DPAPI:"):], validate=True))
        self.assertNotIn(CLIENT_SECRET, self.module.settings_path.read_text())
        self.log.wait_event("settings.secret_encrypted", EVENT_TIMEOUT)

        # The log level: more detail from the next line on.
        self.assertEqual([line for line in self.log.lines() if line["level"] in ("debug", "trace")], [])
        mark = self.log.mark()
        self.module.edit_settings(lambda settings: settings["logging"].update(level="debug"))
        self.log.wait_event("settings.watcher.reloaded", EVENT_TIMEOUT, mark, fields={"log_level": "debug"})
        wait_until(lambda: any(line["level"] == "debug" for line in self.log.lines()[mark:]), EVENT_TIMEOUT,
                   "a debug line in the log")

        # The server: the panel reconnects to the other one, which now serves it
        # (the secret read back from its encrypted form is accepted there).
        self.module.edit_settings(lambda settings: settings["server"].update(port=second.port))
        token = second.wait_requests("/auth/token", timeout=EVENT_TIMEOUT)[0]
        second.wait_requests("/api/corvanta/status", timeout=EVENT_TIMEOUT)
        answered = wait_until(lambda: [r for r in second.requests("/auth/token") if r["response_status"]],
                              EVENT_TIMEOUT, "the token answer")
        self.assertEqual(answered[0]["seq"], token["seq"])
        self.assertEqual(answered[0]["response_status"], 200)
        reconnects = self.log.with_event("settings.watcher.reconnect", mark)
        self.assertEqual([line["fields"]["port"] for line in reconnects], [second.port],
                         "one reconnect, for the server change only")
        mark = host.mark()
        second.control("POST", "/activities", {"reader_external_id": "1:1", "badge_no": 6001, "entry_granted": True})
        swipe = host.wait_for(lambda line: line.get("card_number") == 6001, RECONNECT_TIMEOUT,
                              "a swipe from the second server", mark)
        self.assert_record(swipe, panel=1, event_type=0, event_id=0, device_id=1, data_type=2)

        self.assertEqual(host.stop(), 0)

    def test_certificate_pinned_on_first_use_and_a_changed_one_refused(self):
        self.prepare("certificate_pin")
        simulator = self.start_simulator("simulator")
        self.module.write_settings(simulator.port)
        self.assertNotIn("cert_thumbprint", self.module.settings()["server"])
        self.register()
        host = self.run_host()
        self.wait_online(host)

        wait_until(lambda: self.module.settings()["server"].get("cert_thumbprint") == simulator.thumbprint,
                   EVENT_TIMEOUT, "the thumbprint saved in the settings file")
        self.log.wait_event("tofu.thumbprint_saved", EVENT_TIMEOUT)

        # The server presents another certificate: the translator refuses it
        # and the host sees the panel go offline. Connections are reset so the
        # event channel's end is seen at once.
        mark = host.mark()
        log_mark = self.log.mark()
        simulator.control("POST", "/cert", {"use": "alternate", "drop_connections": False})
        simulator.control("POST", "/connections/drop", {"what": "all", "mode": "reset"})
        host.wait_for(lambda line: is_comm_event(line, 1, 76), RECONNECT_TIMEOUT, "lost record", mark)
        refused = self.log.wait_event("cert.thumbprint_mismatch", EVENT_TIMEOUT, log_mark)
        self.assertEqual((refused["fields"]["expected"], refused["fields"]["actual"]),
                         (simulator.thumbprint, simulator.alternate_thumbprint))
        self.assertEqual(host.stop(), 0)

        # A new host process takes the pin from the file: its first request,
        # the token request, is refused before the secret leaves.
        seq = simulator.last_seq()
        log_mark = self.log.mark()
        simulator.control("POST", "/activities", {"reader_external_id": "1:1", "badge_no": 7001, "entry_granted": True})
        host = self.run_host()
        token = simulator.wait_requests("/auth/token", since_seq=seq, timeout=CONNECT_TIMEOUT)[0]
        self.log.wait_event("cert.thumbprint_mismatch", EVENT_TIMEOUT, log_mark)
        host.wait_for(lambda line: line.get("kind") == "status", CONNECT_TIMEOUT, "a status answer")
        self.assertEqual(host.stop(), 0)
        self.assertFalse(token["body_complete"])
        self.assertNotIn(CLIENT_SECRET, token["body"])
        self.assertEqual([line for line in host.snapshot() if line.get("kind") == "event"], [])
        self.assertEqual([line for line in host.snapshot() if line.get("kind") == "status"],
                         [{"kind": "status", "panel": 1, "panel_online": False, "readers_online": []}])
        self.assertEqual(simulator.control("GET", "/activities")["pending_count"], 1)


if __name__ == "__main__":
    unittest.main()
