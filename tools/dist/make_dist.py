#!/usr/bin/env python3
"""Builds the release packages and the symbols package from a build tree.

    make_dist.py BUILD_DIR OUT_DIR

OUT_DIR/TallyportAccessControlTranslator-<version>.zip holds the DLL and
tallyport-check.exe without debug information, install.cmd, uninstall.cmd,
tallyport_settings.example.json and DEPLOYING.txt;
OUT_DIR/TallyportAccessControlTranslator-<version>.msi installs the same
programs and texts, without the two scripts, and registers the DLL through its
own registry table (make_msi.py);
OUT_DIR/TallyportAccessControlTranslator-<version>-symbols.zip holds the two
programs' debug information, which a debugger finds through the debug link in
each program. Name, version, publisher and release date come from product.ini.

With SIGN_CERT and SIGN_KEY in the environment (PEM files: the certificate
chain and its key), the DLL, tallyport-check.exe and the MSI are signed with
osslsigncode (SHA-256, signing time the release date, no time-stamp server);
without them the packages are unsigned, and the script says so.

The same build gives the same bytes: members in a fixed order, dated with the
release date, with fixed attributes, text with CR LF line ends.
"""
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

import make_msi

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
PRODUCT = "TallyportAccessControlTranslator"
PROGRAMS = [PRODUCT + ".dll", "tallyport-check.exe"]
TEXTS = ["install.cmd", "uninstall.cmd", "tallyport_settings.example.json", "DEPLOYING.txt"]
# The installer registers the DLL itself; the scripts would only fight it.
MSI_TEXTS = ["tallyport_settings.example.json", "DEPLOYING.txt"]
OBJCOPY = "i686-w64-mingw32-objcopy"


def product_values():
    """name, description, version, publisher and release_date of product.ini."""
    text = (SOURCE / "product.ini").read_text(encoding="utf-8")
    values = dict(re.findall(r"^(\w+)\s*=\s*(.*?)\s*$", text, re.MULTILINE))
    missing = [k for k in ("name", "description", "version", "publisher", "release_date") if not values.get(k)]
    if missing:
        sys.exit(f"make_dist: product.ini has no {', '.join(missing)}")
    if not re.fullmatch(r"\d+\.\d+\.\d+", values["version"]):
        sys.exit("make_dist: product.ini's version is not MAJOR.MINOR.PATCH")
    try:
        values["release_date"] = datetime.date.fromisoformat(values["release_date"])
    except ValueError:
        sys.exit("make_dist: product.ini's release_date is not YYYY-MM-DD")
    return values


def split_debug_information(program, staging):
    """The program without debug information and its debug file, in staging.

    A build that already ships them split (PROGRAM and PROGRAM.debug side by
    side) is taken as it is, but for the time stamp: the program is copied
    through objcopy with the epoch as its date, which changes nothing in a
    program as the build wrote it and takes out the time of day that any tool
    rewriting it in place since then (objcopy, strip) stamped into its header.
    Otherwise a copy is split here."""
    stripped = staging / program.name
    debug = staging / (program.name + ".debug")
    built_debug = program.with_name(program.name + ".debug")
    # objcopy stamps the PE header with the time of day unless told a date.
    environment = dict(os.environ, SOURCE_DATE_EPOCH="0")
    run = lambda *args: subprocess.run([OBJCOPY, *args], cwd=staging, env=environment, check=True)
    if built_debug.exists():
        run(str(program), stripped.name)
        shutil.copyfile(built_debug, debug)
        return stripped, debug
    run("--only-keep-debug", str(program), debug.name)
    # The link holds the debug file's name and checksum, so it is made in staging.
    run("--strip-all", "--add-gnu-debuglink=" + debug.name, str(program), stripped.name)
    return stripped, debug


def signer():
    """sign(path, description) when SIGN_CERT and SIGN_KEY are given, else None."""
    cert, key = os.environ.get("SIGN_CERT"), os.environ.get("SIGN_KEY")
    if not cert and not key:
        return None
    if not (cert and key and Path(cert).is_file() and Path(key).is_file()):
        sys.exit("make_dist: SIGN_CERT and SIGN_KEY must both name readable PEM files")

    def sign(path, description, date):
        signed = path.with_name(path.name + ".signed")
        moment = datetime.datetime(date.year, date.month, date.day, tzinfo=datetime.timezone.utc)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", description, "-h", "sha256",
                        "-time", str(int(moment.timestamp())), "-in", str(path), "-out", str(signed)],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        os.replace(signed, path)
    return sign


def text_member(name, version):
    text = (HERE / name).read_text(encoding="utf-8").replace("@VERSION@", version)
    return "\r\n".join(text.splitlines()).encode("utf-8") + b"\r\n"


def write_zip(path, members, date):
    """members: (name, bytes) in the order they are stored, each dated date."""
    temporary = path.with_suffix(".zip.tmp")
    with zipfile.ZipFile(temporary, "w") as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=(date.year, date.month, date.day, 0, 0, 0))
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
    product = product_values()
    version = product["version"]
    out.mkdir(parents=True, exist_ok=True)

    sign = signer()
    package = []
    symbols = []
    with tempfile.TemporaryDirectory(prefix="tly-dist-") as staging:
        for name in PROGRAMS:
            program = build / "bin" / name
            if not program.exists():
                sys.exit(f"make_dist: {program} is missing; run make build first")
            stripped, debug = split_debug_information(program, Path(staging))
            if sign:
                sign(stripped, product["name"], product["release_date"])
            package.append((name, stripped.read_bytes()))
            symbols.append((debug.name, debug.read_bytes()))
    programs = list(package)
    package += [(name, text_member(name, version)) for name in TEXTS]

    main_zip = out / f"{PRODUCT}-{version}.zip"
    msi = out / f"{PRODUCT}-{version}.msi"
    symbols_zip = out / f"{PRODUCT}-{version}-symbols.zip"
    write_zip(main_zip, package, product["release_date"])
    make_msi.build_msi(msi, programs + [(name, text_member(name, version)) for name in MSI_TEXTS], product)
    if sign:
        sign(msi, product["name"], product["release_date"])
    write_zip(symbols_zip, symbols, product["release_date"])
    for path in (main_zip, msi, symbols_zip):
        print(f"make_dist: {path} ({path.stat().st_size} bytes)")
    for name, data in package[: len(PROGRAMS)]:
        print(f"make_dist:   {name} {len(data)} bytes")
    print("make_dist: signed with " + os.environ["SIGN_CERT"] if sign else
          "make_dist: UNSIGNED (give SIGN_CERT and SIGN_KEY to sign the programs and the MSI)")


if __name__ == "__main__":
    main(sys.argv)
