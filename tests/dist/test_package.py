"""The release package as `make dist` writes it: the same build gives the same
bytes, and the unpacked package installs, compares its own type library and
uninstalls under Wine, from a folder whose name has blanks and parentheses.

Runs make_dist.py on the build tree (TLY_BUILD_DIR) into temporary folders.
The COM registration found before is put back afterwards.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "system"))
from system_support import (BUILD_DIR, PYTHON, SOURCE_DIR, WINE_RUN, registered_server, windows_path,  # noqa: E402
                            wine)

MAKE_DIST = SOURCE_DIR / "tools" / "dist" / "make_dist.py"
VERSION = re.search(r"^version\s*=\s*(\S+)", (SOURCE_DIR / "product.ini").read_text(), re.MULTILINE).group(1)
PACKAGE = f"TallyportAccessControlTranslator-{VERSION}.zip"
SYMBOLS = f"TallyportAccessControlTranslator-{VERSION}-symbols.zip"


def make_dist(out: Path) -> None:
    subprocess.run([PYTHON, str(MAKE_DIST), str(BUILD_DIR), str(out)], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, timeout=300)


def run_script(folder: Path, name: str) -> subprocess.CompletedProcess:
    """A script of the package, started in its folder as Explorer does (Wine's
    cmd cannot start a script by a path with parentheses)."""
    return subprocess.run([str(WINE_RUN), "cmd", "/c", name], cwd=folder, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, env=dict(os.environ, TLY_BUILD_DIR=str(BUILD_DIR)),
                          timeout=120)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temporary = tempfile.TemporaryDirectory(prefix="tly-package-")
        cls.root = Path(cls.temporary.name)
        make_dist(cls.root / "first")
        make_dist(cls.root / "second")

    @classmethod
    def tearDownClass(cls):
        cls.temporary.cleanup()

    def test_the_same_build_gives_the_same_bytes(self):
        for name in (PACKAGE, SYMBOLS):
            self.assertEqual((self.root / "first" / name).read_bytes(), (self.root / "second" / name).read_bytes(), name)

    def test_members(self):
        with zipfile.ZipFile(self.root / "first" / PACKAGE) as package:
            self.assertEqual(package.namelist(), [
                "TallyportAccessControlTranslator.dll", "tallyport-check.exe", "install.cmd", "uninstall.cmd",
                "tallyport_settings.example.json", "DEPLOYING.txt"])
            json.loads(package.read("tallyport_settings.example.json"))
        with zipfile.ZipFile(self.root / "first" / SYMBOLS) as symbols:
            self.assertEqual(symbols.namelist(),
                             ["TallyportAccessControlTranslator.dll.debug", "tallyport-check.exe.debug"])

    def test_unpacked_package_installs_compares_and_uninstalls(self):
        folder = self.root / "Tallyport Translator (x86)"
        with zipfile.ZipFile(self.root / "first" / PACKAGE) as package:
            package.extractall(folder)
        dll = windows_path(folder / "TallyportAccessControlTranslator.dll")
        previous = registered_server()
        try:
            done = run_script(folder, "install.cmd")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertEqual(registered_server(), dll)

            done = wine(windows_path(folder / "tallyport-check.exe"), "--json", "--host-typelib", dll)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            report = json.loads(done.stdout)
            self.assertEqual([s["verdict"] for s in report["steps"]], ["pass"])
            self.assertEqual(report["dll_version"], VERSION)

            done = run_script(folder, "uninstall.cmd")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIsNone(registered_server())
        finally:
            if registered_server() == dll:
                wine("regsvr32", "/u", "/s", dll)
            if previous and previous != dll and Path(previous[2:].replace("\\", "/")).exists():
                wine("regsvr32", "/s", previous)


if __name__ == "__main__":
    unittest.main()
