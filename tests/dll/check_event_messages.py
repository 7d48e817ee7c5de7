#!/usr/bin/env python3
"""Checks the Event Log message table against the code and the documentation.

Usage: check_event_messages.py SOURCE_DIR DLL

- every event id the code writes (a TLY_EVENT_ name) is in logging/EventMessages.mc,
  and every id there is written somewhere: no id the code uses lacks its text,
  no text stays behind for an id no longer used;
- the DLL's resources hold the message table that windmc makes from that file
  now, with every id (a stale build or a table left out of the resources fails);
- DEPLOYING.txt names every id, for the site's monitoring.
"""
import pathlib
import re
import struct
import subprocess
import sys
import tempfile

SOURCE_FOLDERS = ("api", "logging", "platform", "settings", "transport", "translator")


def mc_events(mc_text):
    events = {}
    for block in re.split(r"\n(?=MessageId=)", mc_text):
        number = re.search(r"^MessageId=(\d+)", block, re.M)
        name = re.search(r"^SymbolicName=(\w+)", block, re.M)
        if number and name:
            events[name.group(1)] = int(number.group(1))
    return events


def table_ids(table):
    """The ids of a compiled message table (MESSAGE_RESOURCE_DATA)."""
    (blocks,) = struct.unpack_from("<I", table, 0)
    ids = set()
    for i in range(blocks):
        low, high, _ = struct.unpack_from("<III", table, 4 + 12 * i)
        ids.update(range(low, high + 1))
    return ids


def main():
    source, dll = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    mc = source / "logging" / "EventMessages.mc"
    failures = []

    defined = mc_events(mc.read_text())
    if not defined:
        failures.append(f"{mc}: no events")
    used = set()
    for folder in SOURCE_FOLDERS:
        for path in (source / folder).rglob("*"):
            if path.suffix in (".cpp", ".h"):
                used.update(re.findall(r"\bTLY_EVENT_[A-Z0-9_]+\b", path.read_text(errors="replace")))
    for name in sorted(used - defined.keys()):
        failures.append(f"the code writes {name}, which {mc.name} does not define")
    for name in sorted(defined.keys() - used):
        failures.append(f"{mc.name} defines {name} ({defined[name]}), which the code never writes")

    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["i686-w64-mingw32-windmc", "-h", work, "-r", work, str(mc)], check=True,
                       stdout=subprocess.DEVNULL)
        table = (pathlib.Path(work) / "MSG00409.bin").read_bytes()
        rsrc = pathlib.Path(work) / "rsrc.bin"
        subprocess.run(["i686-w64-mingw32-objcopy", "-O", "binary", "--only-section=.rsrc", str(dll), str(rsrc)],
                       check=True)
        resources = rsrc.read_bytes()
    if set(defined.values()) != table_ids(table):
        failures.append(f"windmc's table holds ids {sorted(table_ids(table))}, the file {sorted(defined.values())}")
    if table not in resources:
        failures.append(f"{dll.name} does not hold the message table of {mc.name} as it is now")
    headers = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(dll)], check=True, capture_output=True,
                             text=True).stdout
    # A type-level entry of the resource directory (RT_MESSAGETABLE is 11).
    if not re.search(r"^[0-9a-f]{3}   Entry: ID: 0x00000b,", headers, re.M):
        failures.append(f"{dll.name} has no MESSAGETABLE resource in its resource directory")

    deploying = (source / "tools" / "dist" / "DEPLOYING.txt").read_text()
    for name, number in sorted(defined.items(), key=lambda item: item[1]):
        if not re.search(rf"\b{number}\b", deploying):
            failures.append(f"DEPLOYING.txt does not list event {number} ({name})")

    for failure in failures:
        print(failure)
    if failures:
        return 1
    print(f"event messages: {len(defined)} ids, each written by the code, in the DLL and in DEPLOYING.txt")
    return 0


if __name__ == "__main__":
    sys.exit(main())
