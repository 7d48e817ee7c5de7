"""Writes a delay-load import library for a Windows system DLL.

    delay_import_library.py DLLTOOL NM AS IMPORT_LIBRARY DLL_NAME OUTPUT

The names come from mingw-w64's ordinary import library of the DLL (every
__imp_ symbol it defines), go into a module definition, and dlltool turns
that into a library whose functions load the DLL at their first call through
the delay-load helper instead of at program start.

Beside it, OUTPUT with "_keep.o" for ".a": an object that refers to every
function's thunk. GNU ld 2.40 drops a delay thunk's code when nothing but
its import pointer refers to it (a function declared dllimport is called
through that pointer only), and the pointer then holds 0. Linked with the
library, the object keeps every thunk, whatever the headers declare.
"""
import subprocess
import sys
from pathlib import Path


def main() -> None:
    dlltool, nm, assembler, import_library, dll_name, output = sys.argv[1:]
    listing = subprocess.run([nm, "-g", "--defined-only", import_library], check=True, capture_output=True,
                             text=True).stdout
    names = set()
    for line in listing.splitlines():
        symbol = line.split()[-1] if line.split() else ""
        if symbol.startswith("__imp__"):
            names.add(symbol[len("__imp__"):])  # i386: "_Name@N" under __imp_
    if not names:
        raise SystemExit(f"delay_import_library: no imports in {import_library}")
    out = Path(output)
    definition = out.with_suffix(".def")
    definition.write_text(f"LIBRARY {dll_name}\nEXPORTS\n" + "".join(f"    {n}\n" for n in sorted(names)))
    # --kill-at: the DLL exports "Name", the callers import "_Name@N".
    subprocess.run([dlltool, "--kill-at", "--input-def", str(definition), "--dllname", dll_name,
                    "--output-delaylib", str(out)], check=True)
    keep = out.with_name(out.stem + "_keep.s")
    keep.write_text('\t.section .rdata$tly_delay_keep,"dr"\n' +
                    "".join(f"\t.long _{name}\n" for name in sorted(names)))
    subprocess.run([assembler, "-o", str(out.with_name(out.stem + "_keep.o")), str(keep)], check=True)


if __name__ == "__main__":
    main()
