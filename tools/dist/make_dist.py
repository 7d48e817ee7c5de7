#!/usr/bin/env python3
"""Builds the release package and its symbols package from a build tree.

    make_dist.py BUILD_DIR OUT_DIR

OUT_DIR/TallyportAccessControlTranslator-<version>.zip holds the DLL and
tallyport-check.exe without debug information, install.cmd, uninstall.cmd,
tallyport_settings.example.json and DEPLOYING.txt;
OUT_DIR/TallyportAccessControlTranslator-<version>-symbols.zip holds the two
programs' debug information, which a debugger finds through the debug link in
each program. The version comes from product.ini.

The same build gives the same bytes: members in a fixed order with fixed
dates and attributes, text with CR LF line ends.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
PRODUCT = "TallyportAccessControlTranslator"
PROGRAMS = [PRODUCT + ".dll", "tallyport-check.exe"]
TEXTS = ["install.cmd", "uninstall.cmd", "tallyport_settings.example.json", "DEPLOYING.txt"]
OBJCOPY = "i686-w64-mingw32-objcopy"
FIXED_DATE = (1980, 1, 1, 0, 0, 0)


def product_version():
    text = (SOURCE / "product.ini").read_text(encoding="utf-8")
    match = re.search(r"^version\s*=\s*(\d+\.\d+\.\d+)\s*$", text, re.MULTILINE)
    if not match:
        sys.exit("make_dist: product.ini has no version = MAJOR.MINOR.PATCH line")
    return match.group(1)


def split_debug_information(program, staging):
    """The program without debug information and its debug file, in staging.

    A build that already ships them split (PROGRAM and PROGRAM.debug side by
    side) is taken as it is; otherwise a copy is split here."""
    stripped = staging / program.name
    debug = staging / (program.name + ".debug")
    built_debug = program.with_name(program.name + ".debug")
    if built_debug.exists():
        shutil.copyfile(program, stripped)
        shutil.copyfile(built_debug, debug)
        return stripped, debug
    # objcopy stamps the PE header with the time of day unless told a date.
    environment = dict(os.environ, SOURCE_DATE_EPOCH="0")
    run = lambda *args: subprocess.run([OBJCOPY, *args], cwd=staging, env=environment, check=True)
    run("--only-keep-debug", str(program), debug.name)
    # The link holds the debug file's name and checksum, so it is made in staging.
    run("--strip-all", "--add-gnu-debuglink=" + debug.name, str(program), stripped.name)
    return stripped, debug


def text_member(name, version):
    text = (HERE / name).read_text(encoding="utf-8").replace("@VERSION@", version)
    return "\r\n".join(text.splitlines()).encode("utf-8") + b"\r\n"


def write_zip(path, members):
    """members: (name, bytes) in the order they are stored."""
    temporary = path.with_suffix(".zip.tmp")
    with zipfile.ZipFile(temporary, "w") as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=FIXED_DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0
            info.external_attr = 0
            archive.writestr(info, data)
    os.replace(temporary, path)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    build = Path(argv[1]).resolve()
    out = Path(argv[2]).resolve()
    version = product_version()
    out.mkdir(parents=True, exist_ok=True)

    package = []
    symbols = []
    with tempfile.TemporaryDirectory(prefix="tly-dist-") as staging:
        for name in PROGRAMS:
            program = build / "bin" / name
            if not program.exists():
                sys.exit(f"make_dist: {program} is missing; run make build first")
            stripped, debug = split_debug_information(program, Path(staging))
            package.append((name, stripped.read_bytes()))
            symbols.append((debug.name, debug.read_bytes()))
    package += [(name, text_member(name, version)) for name in TEXTS]

    main_zip = out / f"{PRODUCT}-{version}.zip"
    symbols_zip = out / f"{PRODUCT}-{version}-symbols.zip"
    write_zip(main_zip, package)
    write_zip(symbols_zip, symbols)
    for path in (main_zip, symbols_zip):
        print(f"make_dist: {path} ({path.stat().st_size} bytes)")
    for name, data in package[: len(PROGRAMS)]:
        print(f"make_dist:   {name} {len(data)} bytes")


if __name__ == "__main__":
    main(sys.argv)
