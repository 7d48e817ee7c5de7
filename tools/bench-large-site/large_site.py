#!/usr/bin/env python3
"""The large site of the benchmark, as a simulator "/site" body.

At scale 1: 32 panels, 20,000 readers, 5,000 doors and 500 handhelds, half of
them connected. Readers are dealt to the panels in turn, so every panel has
door readers and handheld readers:
- reader ids 1..R; reader r is reader (r-1)//32 + 1 of panel (r-1)%32 + 1;
- door d (1..D) is entered at reader 2d-1 and left at reader 2d;
- handheld h (1..H) is represented by a reader of its own (same guid), taken
  the h-th of the readers no door uses, and is assigned to door h*D/H;
- handhelds 1, 3, 5, ... are connected.
"""

import argparse
import json
import sys

SITE_PANELS = 32


def reader_external_id(reader_id):
    return f"{(reader_id - 1) % SITE_PANELS + 1}:{(reader_id - 1) // SITE_PANELS + 1}"


def build(scale=1.0):
    reader_count = int(20000 * scale)
    door_count = int(5000 * scale)
    handheld_count = int(500 * scale)
    door_readers = 2 * door_count
    spare = reader_count - door_readers
    if spare < handheld_count:
        raise ValueError("too few readers for the handhelds")

    doors = [{"id": d, "name": f"Door {d}", "external_id": f"D{d}",
              "external_entry_reader_id": 2 * d - 1, "external_exit_reader_id": 2 * d}
             for d in range(1, door_count + 1)]
    readers = {r: {"id": r, "external_id": reader_external_id(r), "name": f"Reader {r}", "guid": "",
                   "door_id": (r + 1) // 2 if r <= door_readers else 0}
               for r in range(1, reader_count + 1)}
    handhelds = []
    for h in range(1, handheld_count + 1):
        own = door_readers + h
        door = max(1, h * door_count // handheld_count)
        guid = f"HH-{h:05d}"
        readers[own].update(guid=guid, door_id=door)
        handhelds.append({"id": 100000 + h, "name": f"Handheld {h}", "guid": guid,
                          "external_id": readers[own]["external_id"], "door_id": door})

    per_panel = {}
    for r in sorted(readers):
        per_panel.setdefault(str((r - 1) % SITE_PANELS + 1), []).append(readers[r])
    connected = [handheld["id"] for handheld in handhelds[::2]]
    return {"doors": doors, "handhelds": handhelds, "readers": per_panel, "connected": connected}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    json.dump(build(args.scale), sys.stdout, separators=(",", ":"))


if __name__ == "__main__":
    main()
