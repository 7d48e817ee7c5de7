#!/usr/bin/env python3
"""Shows the simulated host's event records as a person would want to read
them, then checks the demo's expectations against what the Tallyport
simulator holds and what the translator wrote beside the module."""

import argparse
import json
import sys
import time
import urllib.request
from collections import Counter, defaultdict
from pathlib import Path

DENIAL_REASONS = {63: "expired", 8: "lost or inactive", 24: "not at this time", 3: "invalid facility code",
                  71: "user not found", 65: "access denied", 4: "invalid badge", 7: "invalid access level",
                  21: "passback"}


def describe(record):
    """A readable line and a summary kind for one host event record."""
    panel, device = record["panel"], record["device_id"]
    if record["message_type"] == 1 and record["data_type"] == 19:
        state = "online" if record.get("status") == 1 else "offline"
        if device == 0:
            return f"panel {panel}: communication {state}", f"panel {state}"
        return f"panel {panel}: reader {device} is {state}", f"reader {state}"
    if record["event_type"] == 4 and record["event_id"] in (76, 77):
        what = "lost" if record["event_id"] == 76 else "restored"
        return f"panel {panel}: communication {what}", f"communication {what}"
    card = record.get("card_number", 0)
    if record.get("text") is not None:
        kind = "panic alarm" if record["event_type"] == 2 else "alarm"
        return f"panel {panel}: {kind.upper()} at reader {device}: {record['text']}", kind
    if record["event_type"] == 0:
        return f"panel {panel}: access GRANTED  badge {card} at reader {device}", "granted"
    if record["event_type"] == 3:
        return f"panel {panel}: access DENIED   badge {card} at reader {device} (anti-passback)", "denied"
    reason = DENIAL_REASONS.get(record["event_id"], f"reason {record['event_id']}")
    return f"panel {panel}: access DENIED   badge {card} at reader {device} ({reason})", "denied"


def control(url, path):
    with urllib.request.urlopen(url + path, timeout=10) as answer:
        return json.load(answer)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", required=True)
    parser.add_argument("--module", required=True)
    args = parser.parse_args()

    started = time.monotonic()
    events, kinds, readers = [], defaultdict(Counter), defaultdict(dict)
    # A reader record that repeats what the host last heard of that reader
    # (since the panel last went down) tells the host nothing.
    heard, repeats = defaultdict(dict), []

    def show(text):
        print(f"  {time.monotonic() - started:5.1f}s  {text}", flush=True)

    for line in sys.stdin:
        try:
            item = json.loads(line)
        except ValueError:
            continue
        if item.get("kind") != "event":
            continue
        text, kind = describe(item)
        events.append(item)
        if kind == "communication lost":
            heard[item["panel"]].clear()
        if kind.startswith("reader "):
            state = kind.split()[1]
            if heard[item["panel"]].get(item["device_id"]) == state:
                repeats.append((item["panel"], item["device_id"], state))
            heard[item["panel"]][item["device_id"]] = state
            readers[item["panel"]][item["device_id"]] = state
        kinds[item["panel"]][kind] += 1
        show(text)

    activities = control(args.control, "/activities")
    processed = activities["processed"]
    module = Path(args.module)
    log = (module / "tly_translator.log").read_text(errors="replace") if (module / "tly_translator.log").exists() else ""
    sent_path = module / "badge_events_sent.json"
    sent = json.loads(sent_path.read_text()) if sent_path.exists() else []

    print("\n== Summary")
    for panel in sorted(kinds):
        counts = ", ".join(f"{n} {kind}" for kind, n in sorted(kinds[panel].items()))
        print(f"  panel {panel}: {counts}")
        states = ", ".join(f"reader {r} {s}" for r, s in sorted(readers[panel].items()))
        print(f"  panel {panel} readers last reported: {states or 'none'}")

    delivered = {(e["panel"], e.get("card_number")) for e in events if "card_number" in e}
    missing = []
    for activity in processed:
        record = json.loads(activity["text"]) if isinstance(activity.get("text"), str) else {}
        badge = record.get("badge_no", 0)
        if (activity["panel"], badge) not in delivered:
            missing.append((activity["adm_id"], activity["panel"], badge))

    checks = [
        ("every activity the server held was marked processed", activities["pending_count"] == 0,
         f"{len(processed)} processed, {activities['pending_count']} pending"),
        ("every processed activity reached the host", not missing and len(processed) > 0,
         f"missing {missing}" if missing else f"{len(processed)} delivered"),
        ("badge swipes granted and denied arrived",
         sum(k["granted"] for k in kinds.values()) > 0 and sum(k["denied"] for k in kinds.values()) > 0, ""),
        ("panic and other alarms arrived",
         sum(k["panic alarm"] for k in kinds.values()) > 0 and sum(k["alarm"] for k in kinds.values()) > 0, ""),
        ("readers went online and offline",
         sum(k["reader online"] for k in kinds.values()) > 0 and sum(k["reader offline"] for k in kinds.values()) > 0,
         ""),
        ("every reader record was a change", not repeats, f"repeated {repeats[:5]}" if repeats else ""),
        ("the dropped event channel was reopened", "websocket.reconnect_succeeded" in log, ""),
        ("the badge event file was replayed",
         len(sent) == 2 and all(r.get("result") == "ok" for r in sent)
         and {(1, 555001), (2, 555002)} <= delivered, f"{len(sent)} records in the sent file"),
    ]
    print("\n== Expectations")
    failed = 0
    for name, ok, detail in checks:
        failed += not ok
        print(f"  [{'ok' if ok else 'FAILED'}] {name}" + (f" ({detail})" if detail else ""))
    print(f"\n{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
