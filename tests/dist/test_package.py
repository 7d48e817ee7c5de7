"""The release package as `make dist` writes it: the same build gives the same
bytes, and the unpacked package installs, passes the field check against a
simulator, compares its own type library and uninstalls under Wine, from a
folder whose name has blanks and parentheses; a second unpacked copy sees the
first one's registration and moves it only through its install.cmd.

Runs make_dist.py on the build tree (TLY_BUILD_DIR) into temporary folders.
The COM registration found before is put back afterwards.
"""

import datetime
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "system"))
from system_support import (BUILD_DIR, CLIENT_ID, CLIENT_SECRET, PYTHON, SOURCE_DIR,  # noqa: E402
                            HostSim, Simulator, registered_server, wait_until, windows_path, wine)

sys.path.insert(0, str(SOURCE_DIR / "tools" / "dist"))
import make_msi  # noqa: E402

MAKE_DIST = SOURCE_DIR / "tools" / "dist" / "make_dist.py"
VERSION = re.search(r"^version\s*=\s*(\S+)", (SOURCE_DIR / "product.ini").read_text(), re.MULTILINE).group(1)
PACKAGE = f"TallyportAccessControlTranslator-{VERSION}.zip"
SYMBOLS = f"TallyportAccessControlTranslator-{VERSION}-symbols.zip"
INSTALLER = f"TallyportAccessControlTranslator-{VERSION}.msi"
PRODUCT_NAME = "Tallyport Access Control Translator"
CLSID = "{E2C7A155-8084-4BEE-9540-1E4A776311C6}"
LIBID = "{2834E7BB-91E2-4E11-A527-AA49630A534E}"
PRODUCT_KEYS = [f"HKCR\\CLSID\\{CLSID}", f"HKCR\\TypeLib\\{LIBID}", "HKCR\\TallyportAccessControlTranslator.AccessControlTrans",
                "HKCR\\TallyportAccessControlTranslator.AccessControlTrans.1"]
HOST_ACCOUNT = "NT AUTHORITY\\NETWORK SERVICE"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
PRODUCT_KEY = "HKLM\\Software\\Tallyport\\" + PRODUCT_NAME
# The package of the layout before programs and data were apart.
EARLIER_LAYOUT = Path(__file__).resolve().parent / "earlier_layout.wxs"
DATA_MOVED_NOTE = "DATA-MOVED-TO-DATA-FOLDER.txt"


def make_dist(out: Path) -> None:
    subprocess.run([PYTHON, str(MAKE_DIST), str(BUILD_DIR), str(out)], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, timeout=300)


def run_script(folder: Path, name: str) -> subprocess.CompletedProcess:
    """A script of the package, started in its folder as Explorer does (Wine's
    cmd cannot start a script by a path with parentheses)."""
    return wine("cmd", "/c", name, cwd=folder)


def write_settings(folder: Path, simulator: Simulator) -> None:
    (folder / "tallyport_settings.json").write_text(json.dumps({
        "version": 2,
        "server": {"hostname": "127.0.0.1", "port": simulator.port, "client_id": CLIENT_ID,
                   "client_secret": CLIENT_SECRET},
        "logging": {"level": "info"}}, indent=2))


def check(folder: str, *arguments: str) -> tuple[int, dict]:
    """The field check in a folder given by its Windows path (with the final
    backslash), as the host would name it: its exit code and its JSON report."""
    done = wine(folder + "tallyport-check.exe", "--json", *arguments)
    try:
        return done.returncode, json.loads(done.stdout)
    except json.JSONDecodeError:
        raise AssertionError(f"no report: {done.stdout}{done.stderr}") from None


def step(report: dict, name: str) -> dict:
    return next(s for s in report["steps"] if s["step"] == name)


def with_patch_version(program: bytes, patch: int) -> bytes:
    """The program with the patch number of its fixed file and product
    versions changed, as a build of the next version would have it."""
    data = bytearray(program)
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at > 0, "no version resource"
    for field in (12, 20):  # dwFileVersionLS, dwProductVersionLS: patch << 16 | build
        struct.pack_into("<I", data, at + field, patch << 16)
    return bytes(data)


def tamper(path: Path) -> None:
    """Changes one byte of what a signature covers: in a program a byte in its
    middle, in an MSI the last byte of its summary stream (a byte in the
    middle of the file could be free space no signature covers)."""
    data = bytearray(path.read_bytes())
    if not data.startswith(b"\xd0\xcf\x11\xe0"):
        data[len(data) // 2] ^= 0xFF
        path.write_bytes(bytes(data))
        return
    import olefile
    with olefile.OleFileIO(str(path), write_mode=True) as storage:
        stream = bytearray(storage.openstream("\x05SummaryInformation").read())
        stream[-1] ^= 0xFF
        storage.write_stream("\x05SummaryInformation", bytes(stream))


def pe_time_stamps(program: bytes) -> list:
    """Every time stamp a PE file carries: the COFF header's and those of its
    export, resource and debug directories."""
    header = struct.unpack_from("<I", program, 0x3C)[0]
    stamps = [struct.unpack_from("<I", program, header + 8)[0]]
    sections, optional_size = struct.unpack_from("<H", program, header + 6)[0], struct.unpack_from("<H", program, header + 20)[0]
    optional = header + 24
    directories = [struct.unpack_from("<II", program, optional + 96 + 8 * i)
                   for i in range(struct.unpack_from("<I", program, optional + 92)[0])]
    table = [struct.unpack_from("<IIII", program, optional + optional_size + 40 * i + 8) for i in range(sections)]

    def offset(rva):
        return next(raw + rva - address for size, address, _, raw in table if address <= rva < address + max(size, 1))

    for index in (0, 2):  # export, resource: the stamp follows the flags
        if directories[index][0]:
            stamps.append(struct.unpack_from("<I", program, offset(directories[index][0]) + 4)[0])
    if len(directories) > 6 and directories[6][0]:  # debug: one 28-byte entry each
        start = offset(directories[6][0])
        stamps += [struct.unpack_from("<I", program, start + at + 4)[0] for at in range(0, directories[6][1], 28)]
    return stamps


def installed_products() -> dict:
    """DisplayName -> DisplayVersion of the Add/Remove Programs entries of this product."""
    done = wine("reg", "query", UNINSTALL_KEY, "/s")
    products, name, version = {}, None, None
    for line in done.stdout.replace("\r", "").splitlines() + ["HKEY_END"]:
        if line.startswith("HKEY_"):
            if name == PRODUCT_NAME:
                products.setdefault(name, []).append(version)
            name = version = None
        parts = line.split("    ")
        if len(parts) >= 4 and parts[1] == "DisplayName":
            name = parts[3]
        if len(parts) >= 4 and parts[1] == "DisplayVersion":
            version = parts[3]
    return products


def registration_snapshot() -> list:
    """Every value under the product's keys, as "key: name = value" lines; a
    folder's trailing backslash dropped (RegisterTypeLib writes HELPDIR
    without one, the installer's folder property has one)."""
    lines = []
    for key in PRODUCT_KEYS:
        current = None
        for line in wine("reg", "query", key, "/s").stdout.replace("\r", "").splitlines():
            if line.startswith("HKEY_"):
                current = line
            parts = line.split("    ")
            if len(parts) >= 4 and parts[2].startswith("REG_"):
                lines.append(f"{current}: {parts[1]} = {parts[3].rstrip(chr(92))}")
    return sorted(lines)


def product_value(name: str):
    """A value under the product's key, or None."""
    for line in wine("reg", "query", PRODUCT_KEY, "/v", name).stdout.replace("\r", "").splitlines():
        parts = line.split("    ")
        if len(parts) >= 4 and parts[1] == name:
            return parts[3]
    return None


EVENT_SOURCE_KEY = ("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                    + re.search(r"^name\s*=\s*(.+?)\s*$", (SOURCE_DIR / "product.ini").read_text(), re.MULTILINE).group(1))


def event_source() -> dict:
    """The translator's Event Log source: value name -> (type, data); empty when not registered."""
    values = {}
    for line in wine("reg", "query", EVENT_SOURCE_KEY).stdout.replace("\r", "").splitlines():
        parts = line.split("    ")
        if len(parts) >= 4 and parts[2].startswith("REG_"):
            values[parts[1]] = (parts[2], parts[3])
    return values


def key_exists(key: str) -> bool:
    return wine("reg", "query", key).returncode == 0


def msiexec(*arguments: str) -> subprocess.CompletedProcess:
    return wine("msiexec", *arguments, "/qn", timeout=300)


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
        for name in (PACKAGE, SYMBOLS, INSTALLER):
            self.assertEqual((self.root / "first" / name).read_bytes(), (self.root / "second" / name).read_bytes(), name)

    def test_members(self):
        with zipfile.ZipFile(self.root / "first" / PACKAGE) as package:
            self.assertEqual(package.namelist(), [
                "TallyportAccessControlTranslator.dll", "tallyport-check.exe", "install.cmd", "uninstall.cmd",
                "tallyport_settings.example.json", "DEPLOYING.txt"])
            json.loads(package.read("tallyport_settings.example.json"))
            release = datetime.date.fromisoformat(
                re.search(r"^release_date\s*=\s*(\S+)", (SOURCE_DIR / "product.ini").read_text(), re.MULTILINE)[1])
            self.assertEqual({info.date_time for info in package.infolist()}, {(*release.timetuple()[:3], 0, 0, 0)})
            for name in package.namelist()[:2]:
                self.assertEqual(pe_time_stamps(package.read(name)), [0] * len(pe_time_stamps(package.read(name))), name)
            self.assertIn(b'level="asInvoker"', package.read("tallyport-check.exe"))
        with zipfile.ZipFile(self.root / "first" / SYMBOLS) as symbols:
            self.assertEqual(symbols.namelist(),
                             ["TallyportAccessControlTranslator.dll.debug", "tallyport-check.exe.debug"])

    def test_signed_with_a_throwaway_certificate(self):
        folder = self.root / "signing"
        folder.mkdir()
        cert, key = folder / "cert.pem", folder / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out",
                        str(cert), "-days", "2", "-subj", "/CN=Throwaway test signer",
                        "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True, timeout=60)
        subprocess.run([PYTHON, str(MAKE_DIST), str(BUILD_DIR), str(folder / "out")], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=300,
                       env=dict(os.environ, SIGN_CERT=str(cert), SIGN_KEY=str(key)))
        with zipfile.ZipFile(folder / "out" / PACKAGE) as package:
            signed = {name: package.read(name) for name in package.namelist()[:2]}
        signed[INSTALLER] = (folder / "out" / INSTALLER).read_bytes()
        for name, data in signed.items():
            (folder / name).write_bytes(data)
            for label, fails in (("as signed", False), ("changed after signing", True)):
                if fails:
                    tamper(folder / name)
                done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(cert), "-in", str(folder / name)],
                                      capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode != 0, fails, f"{name} {label}: {done.stdout}{done.stderr}")

    def test_unpacked_package_installs_checks_moves_and_uninstalls(self):
        folder = self.root / "Tallyport Translator (x86)"
        second = self.root / "Second Translator"
        for target in (folder, second):
            with zipfile.ZipFile(self.root / "first" / PACKAGE) as package:
                package.extractall(target)
        dll = windows_path(folder / "TallyportAccessControlTranslator.dll")
        second_dll = windows_path(second / "TallyportAccessControlTranslator.dll")
        simulator = Simulator(self.root / "simulator", max_lifetime=300).start()
        previous = registered_server()
        try:
            # A host with nothing registered: reg's error (which Wine prints on
            # standard output) is no registration of another folder.
            if previous:
                wine("regsvr32", "/u", "/s", previous)
            done = run_script(folder, "install.cmd")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertNotIn("another folder", done.stdout)
            self.assertEqual(registered_server(), dll)
            # The Event Log source names this folder's DLL as its message file.
            self.assertEqual(event_source(), {"EventMessageFile": ("REG_EXPAND_SZ", dll),
                                              "TypesSupported": ("REG_DWORD", "0x7")}, done.stdout)
            # No data folder recorded for this folder: the settings go here,
            # and the split is recommended.
            self.assertIn("tallyport_settings.json in this folder", done.stdout)
            self.assertIn("Recommended", done.stdout)

            write_settings(folder, simulator)
            code, report = check(windows_path(folder) + "\\")
            self.assertEqual(code, 0, report)
            self.assertEqual([s["verdict"] for s in report["steps"]], ["pass"] * len(report["steps"]), report)
            self.assertEqual([s["step"] for s in report["steps"]][0], "registration")
            self.assertIn("folder", [s["step"] for s in report["steps"]])
            self.assertEqual(step(report, "registration")["data"]["registered_version"], VERSION)
            # The host's way of creating the object works in this 32-bit process.
            self.assertEqual(step(report, "com_object")["verdict"], "pass", report)
            self.assertFalse((folder / "tly_translator.log").exists(), "creating the object logs nothing")

            # The DLL deleted, or replaced by a damaged file: the registration
            # and the object's creation fail, each naming why.
            dll_path = folder / "TallyportAccessControlTranslator.dll"
            intact = dll_path.read_bytes()
            for damage, reason in ((None, "dll_missing"), (intact[:4096], "dll_load_failed")):
                with self.subTest(damage=reason):
                    dll_path.unlink()
                    if damage is not None:
                        dll_path.write_bytes(damage)
                    try:
                        code, report = check(windows_path(folder) + "\\")
                        text = wine(windows_path(folder) + "\\tallyport-check.exe").stdout
                    finally:
                        dll_path.write_bytes(intact)
                    self.assertEqual(code, 1, report)
                    self.assertEqual(step(report, "com_object")["reason"], reason, report)
                    self.assertIn("FAIL  com_object", text)
                    self.assertNotIn("Every step passed", text)
                    if damage is None:
                        self.assertEqual(step(report, "registration")["reason"], "dll_missing", report)

            # The support bundle opens with any unzip and never holds the secret.
            bundle = folder / "support.zip"
            code, report = check(windows_path(folder) + "\\", "--bundle", windows_path(bundle))
            self.assertEqual(code, 0, report)
            with zipfile.ZipFile(bundle) as archive:
                self.assertIsNone(archive.testzip())
                self.assertEqual(json.loads(archive.read("check.json"))["passed"], True)
                self.assertEqual(json.loads(archive.read("registration.json"))["inproc_server"], dll)
                self.assertIn(b"windows ", archive.read("versions.txt"))
                installation = json.loads(archive.read("installation.json"))
                self.assertEqual((installation["registered_dll"], installation["msi_product"]), (dll, None))
                self.assertIsInstance(json.loads(archive.read("clock.json"))["server_clock_offset_seconds"], int)
                self.assertIn("access_type", json.loads(archive.read("proxy.json")))
                # Every member, unpacked: neither the secret nor the client id.
                for name in archive.namelist():
                    for hidden in (CLIENT_SECRET, CLIENT_ID):
                        self.assertNotIn(hidden.encode(), archive.read(name), name)
            self.assertNotIn(CLIENT_SECRET.encode(), bundle.read_bytes())

            code, report = check(windows_path(folder) + "\\", "--host-typelib", dll)
            self.assertEqual(code, 0, report)
            self.assertEqual([s["verdict"] for s in report["steps"]], ["pass"])
            self.assertEqual(report["dll_version"], VERSION)

            # A second copy: its check names the registered folder, its
            # uninstall.cmd leaves the first one's registration alone.
            code, report = check(windows_path(second) + "\\")
            registration = step(report, "registration")
            self.assertEqual((code, registration["reason"]), (1, "registered_elsewhere"), report)
            self.assertIn(windows_path(folder), registration["hint"])
            done = run_script(second, "uninstall.cmd")
            self.assertEqual(done.returncode, 1, done.stdout)
            self.assertIn(dll, done.stdout)
            self.assertEqual(registered_server(), dll)

            # Its install.cmd moves the registration and says from where.
            done = run_script(second, "install.cmd")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIn("registered from another folder", done.stdout)
            self.assertIn(windows_path(folder / "tallyport_settings.json"), done.stdout.replace("\n", " "))
            self.assertEqual(registered_server(), second_dll)
            self.assertEqual(event_source()["EventMessageFile"], ("REG_EXPAND_SZ", second_dll))
            code, report = check(windows_path(folder) + "\\")
            self.assertEqual(step(report, "registration")["reason"], "registered_elsewhere", report)

            done = run_script(second, "uninstall.cmd")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIsNone(registered_server())
            self.assertEqual(event_source(), {})
            self.assertFalse(key_exists(EVENT_SOURCE_KEY))
            # Again, with nothing registered: nothing to do, and said so.
            done = run_script(second, "uninstall.cmd")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIn("not registered", done.stdout)
            code, report = check(windows_path(folder) + "\\")
            self.assertEqual((code, step(report, "registration")["reason"]), (1, "not_registered"), report)
        finally:
            simulator.stop()
            for registered in (dll, second_dll):
                if registered_server() == registered:
                    wine("regsvr32", "/u", "/s", registered)
            if previous and previous not in (dll, second_dll) and Path(previous[2:].replace("\\", "/")).exists():
                wine("regsvr32", "/s", previous)

    def assert_granted(self, log: Path) -> None:
        """The installer's log shows both folders protected and the rights
        granted to the host's account (Wine's icacls changes nothing, so only
        the actions are seen)."""
        text = log.read_bytes().decode("utf-8", "replace").replace("\r", "")
        self.assertIn("Action ended", text)
        for action in ("ProtectDataFolder", "GrantHostAccount", "ProtectProgramFolder"):
            self.assertRegex(text, rf"Action ended [\d:]+: {action}\. Return value 1")
        self.assertIn("HOSTACCOUNT = " + HOST_ACCOUNT, text)

    def packages(self):
        """The programs and texts of the package as members for make_msi."""
        with zipfile.ZipFile(self.root / "first" / PACKAGE) as package:
            programs = [(n, package.read(n)) for n in package.namelist()[:2]]
            texts = [(n, package.read(n)) for n in ("tallyport_settings.example.json", "DEPLOYING.txt")]
        release = datetime.date.fromisoformat(
            re.search(r"^release_date\s*=\s*(\S+)", (SOURCE_DIR / "product.ini").read_text(), re.MULTILINE).group(1))
        return programs, texts, release

    def fresh_folders(self):
        """The program folder the tests install to and the default data
        folder, both empty; their Linux and Windows paths."""
        drive_c = BUILD_DIR / "wineprefix" / "drive_c"
        folder, data = drive_c / "Tallyport Test (x86)", drive_c / "ProgramData" / "Tallyport Translator"
        for path in (folder, data):
            shutil.rmtree(path, ignore_errors=True)
        self.addCleanup(shutil.rmtree, folder, True)
        self.addCleanup(shutil.rmtree, data, True)
        return folder, "C:\\Tallyport Test (x86)\\", data, "C:\\ProgramData\\Tallyport Translator\\"

    def uninstall_afterwards(self, *packages: Path) -> None:
        previous = registered_server()

        def undo():
            for package in packages:
                if installed_products():
                    msiexec("/x", windows_path(package))
            if previous and Path(previous[2:].replace("\\", "/")).exists():
                wine("regsvr32", "/s", previous)
        self.addCleanup(undo)

    def test_installer_puts_programs_and_data_apart(self):
        folder, folder_windows, data, data_windows = self.fresh_folders()
        simulator = Simulator(self.root / "apart-simulator", max_lifetime=300).start()
        self.addCleanup(simulator.stop)
        self.uninstall_afterwards(self.root / "first" / INSTALLER)
        install_log = self.root / "apart.log"
        done = msiexec("/i", windows_path(self.root / "first" / INSTALLER), "INSTALLFOLDER=" + folder_windows,
                       "HOSTACCOUNT=" + HOST_ACCOUNT, "/l*v", windows_path(install_log))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assert_granted(install_log)
        dll = folder_windows + "TallyportAccessControlTranslator.dll"
        self.assertEqual(registered_server(), dll)
        self.assertEqual(event_source(), {"EventMessageFile": ("REG_SZ", dll), "TypesSupported": ("REG_DWORD", "0x7")})
        self.assertEqual(installed_products(), {PRODUCT_NAME: [VERSION]})
        self.assertFalse((folder / "install.cmd").exists())
        self.assertEqual((product_value("InstallFolder"), product_value("DataFolder")), (folder_windows, data_windows))
        self.assertTrue(data.is_dir())
        self.assertEqual(product_value("Version"), VERSION)
        self.assertRegex(product_value("ProductCode") or "", r"^\{[0-9A-F-]{36}\}$")

        # The repair DEPLOYING.txt gives puts back a deleted DLL and data folder.
        repair = next(line.split() for line in (SOURCE_DIR / "tools" / "dist" / "DEPLOYING.txt").read_text().splitlines()
                      if "REINSTALL=" in line)
        self.assertEqual(repair[:2], ["msiexec", "/i"])
        (folder / "TallyportAccessControlTranslator.dll").unlink()
        shutil.rmtree(data)
        done = msiexec("/i", windows_path(self.root / "first" / INSTALLER),
                       *[a for a in repair[3:] if a != "/qn"])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertTrue((folder / "TallyportAccessControlTranslator.dll").exists())
        self.assertTrue(data.is_dir())
        self.assertEqual(registered_server(), folder_windows + "TallyportAccessControlTranslator.dll")

        # While the package is installed, the zip's install.cmd of another
        # folder leaves the registration to it.
        beside = self.root / "Zip Beside The Package"
        with zipfile.ZipFile(self.root / "first" / PACKAGE) as package:
            package.extractall(beside)
        done = run_script(beside, "install.cmd")
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertIn("MSI package", done.stdout)
        self.assertIn(product_value("ProductCode"), done.stdout)
        self.assertEqual(registered_server(), folder_windows + "TallyportAccessControlTranslator.dll")
        # Its check says the same: the package's folder is registered, and
        # install.cmd alone would not move the registration.
        code, report = check(windows_path(beside) + "\\")
        registration = step(report, "registration")
        self.assertEqual((code, registration["reason"]), (1, "registered_elsewhere"), report)
        self.assertIn("msiexec /x " + product_value("ProductCode"), registration["hint"])
        # The package's keys are those the DLL's own registration writes.
        installed = registration_snapshot()
        self.assertEqual(wine("regsvr32", "/u", "/s", dll).returncode, 0)
        self.assertEqual(registration_snapshot(), [])
        self.assertEqual(wine("regsvr32", "/s", dll).returncode, 0)
        self.assertEqual(registration_snapshot(), installed)
        self.assertGreaterEqual(len(installed), 15)

        # The check beside the programs reads the settings in the data folder.
        write_settings(data, simulator)
        code, report = check(folder_windows)
        self.assertEqual(code, 0, report)
        self.assertEqual([s["verdict"] for s in report["steps"]], ["pass"] * len(report["steps"]), report)
        self.assertEqual(report["settings_path"], data_windows + "tallyport_settings.json")
        # install.cmd beside these programs points to the recorded data folder.
        with zipfile.ZipFile(self.root / "first" / PACKAGE) as package:
            (folder / "install.cmd").write_bytes(package.read("install.cmd"))
        done = run_script(folder, "install.cmd")
        (folder / "install.cmd").unlink()
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("data folder recorded for this folder", done.stdout)
        self.assertIn(data_windows, done.stdout)
        self.assertEqual(registered_server(), dll)
        bundle = self.root / "apart-support.zip"
        code, report = check(folder_windows, "--bundle", windows_path(bundle))
        self.assertEqual(code, 0, report)
        with zipfile.ZipFile(bundle) as archive:
            self.assertIn(data_windows.rstrip("\\"), archive.read("README.txt").decode())
            self.assertIn("tallyport_settings.json", archive.namelist())
            installation = json.loads(archive.read("installation.json"))
            self.assertEqual((installation["msi_product"]["version"], installation["msi_product"]["install_folder"],
                              installation["registered_dll"]), (VERSION, folder_windows, dll))

        # A program folder or a DLL that ordinary users may change fails the
        # folder step. Wine reads a file's rights from its Unix mode: "others"
        # may write is Everyone may write. (Wine runs every program as an
        # administrator, whose own rights the step leaves out, so the
        # account's half is tested on descriptors in ProgramRightsTest.)
        for target, target_windows in ((folder, folder_windows.rstrip("\\")),
                                       (folder / "TallyportAccessControlTranslator.dll", dll)):
            mode = target.stat().st_mode
            os.chmod(target, mode | 0o002)
            try:
                code, report = check(folder_windows)
            finally:
                os.chmod(target, mode)
            folder_step = step(report, "folder")
            self.assertEqual((code, folder_step["reason"]), (1, "programs_writable_by_users"), report)
            self.assertIn(target_windows, [p["path"] for p in folder_step["data"]["programs_changeable"]])
        self.assertEqual(check(folder_windows)[0], 0)

        # Uninstalling leaves the settings in the data folder.
        kept = (data / "tallyport_settings.json").read_bytes()
        done = msiexec("/x", windows_path(self.root / "first" / INSTALLER))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(installed_products(), {})
        self.assertEqual([k for k in PRODUCT_KEYS if key_exists(k)], [])
        self.assertFalse(key_exists(EVENT_SOURCE_KEY), event_source())
        self.assertIsNone(product_value("DataFolder"))
        self.assertFalse((folder / "TallyportAccessControlTranslator.dll").exists())
        self.assertEqual((data / "tallyport_settings.json").read_bytes(), kept)

        # A registration another folder made while the package was installed
        # (by hand, or by an older install.cmd) outlives the package's uninstall.
        done = msiexec("/i", windows_path(self.root / "first" / INSTALLER), "INSTALLFOLDER=" + folder_windows)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        other = windows_path(beside / "TallyportAccessControlTranslator.dll")
        self.addCleanup(lambda: registered_server() == other and wine("regsvr32", "/u", "/s", other))
        self.assertEqual(wine("regsvr32", "/s", other).returncode, 0)
        taken_over = registration_snapshot()
        done = msiexec("/x", windows_path(self.root / "first" / INSTALLER))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(installed_products(), {})
        self.assertEqual(registered_server(), other)
        self.assertEqual(registration_snapshot(), taken_over)

    def test_installer_upgrade_moves_the_earlier_layouts_data_apart(self):
        folder, folder_windows, data, data_windows = self.fresh_folders()
        programs, texts, release = self.packages()
        product = {"name": PRODUCT_NAME, "description": "earlier layout", "publisher": "Tallyport",
                   "version": VERSION, "release_date": release}
        earlier = self.root / "earlier.msi"
        make_msi.build_msi(earlier, programs + texts, product, template=EARLIER_LAYOUT)
        major, minor, patch = (int(n) for n in VERSION.split("."))
        bumped = f"{major}.{minor}.{patch + 1}"
        upgrade = self.root / "upgrade.msi"
        make_msi.build_msi(upgrade, [(n, with_patch_version(d, patch + 1)) for n, d in programs] + texts,
                           dict(product, description="next version", version=bumped))
        simulator = Simulator(self.root / "upgrade-simulator", max_lifetime=300).start()
        self.addCleanup(simulator.stop)
        self.uninstall_afterwards(upgrade, earlier)

        done = msiexec("/i", windows_path(earlier), "INSTALLFOLDER=" + folder_windows, "HOSTACCOUNT=" + HOST_ACCOUNT)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIsNone(product_value("DataFolder"))
        dll = folder_windows + "TallyportAccessControlTranslator.dll"
        self.assertEqual(registered_server(), dll)

        # The translator of the earlier layout keeps its data beside itself:
        # it stores the secret protected and pins the server's certificate in
        # the settings file there, and logs there.
        write_settings(folder, simulator)
        host = HostSim("1", duration=60)
        try:
            def stored():
                settings = json.loads((folder / "tallyport_settings.json").read_text())
                return settings["server"]["client_secret"].startswith("DPAPI:") and \
                    settings["server"].get("cert_thumbprint")
            wait_until(stored, 60, "the secret stored and the certificate pinned")
        finally:
            host.stop()
        self.assertTrue((folder / "tly_translator.log").exists())
        line = ('{{"timestamp":"2026-01-05T10:00:00.000","level":"info","component":"tly_api",'
                '"event":"{}","message":"kept","process_id":1,"thread_id":1}}\n')
        (folder / "tly_translator.1.log").write_text(line.format("rotated"))
        kept = {name: (folder / name).read_bytes()
                for name in ("tallyport_settings.json", "tly_translator.log", "tly_translator.1.log")}

        # Neither the folders nor the account given: the upgrade finds them,
        # moves the data to the data folder and says so in the program folder.
        upgrade_log = self.root / "upgrade.log"
        done = msiexec("/i", windows_path(upgrade), "/l*v", windows_path(upgrade_log))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assert_granted(upgrade_log)
        self.assertEqual(installed_products(), {PRODUCT_NAME: [bumped]})
        self.assertEqual(registered_server(), dll)
        self.assertEqual(product_value("DataFolder"), data_windows)
        for name, content in kept.items():
            self.assertFalse((folder / name).exists(), name)
            self.assertEqual((data / name).read_bytes(), content, name)
        self.assertIn(data_windows, (folder / DATA_MOVED_NOTE).read_text())
        code, report = check(folder_windows)
        self.assertEqual(code, 0, report)
        self.assertEqual([s["verdict"] for s in report["steps"]], ["pass"] * len(report["steps"]), report)
        self.assertEqual(step(report, "registration")["data"]["registered_version"], bumped)

        done = msiexec("/x", windows_path(upgrade))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(installed_products(), {})
        for name, content in kept.items():
            self.assertEqual((data / name).read_bytes(), content, name)

        # The check, put back alone, sees that nothing is registered.
        (folder / "tallyport-check.exe").write_bytes(programs[1][1])
        code, report = check(folder_windows)
        self.assertEqual((code, step(report, "registration")["reason"]), (1, "not_registered"), report)


if __name__ == "__main__":
    unittest.main()
