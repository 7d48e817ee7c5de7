"""The Windows Installer package of the translator, built with wixl.

The COM registration goes into the package's own Registry table, generated
here from what DllRegisterServer writes: the DLL's registry script
(translator/module/AccessControlTrans.rgs) with the class and type library
identifiers of the IDL, and the type library's keys in the form
RegisterTypeLib gives them. No self-registration runs at install time.

The same inputs give the same bytes: the product code is derived from the
version and the package code from the members, wixl's summary dates are
replaced by the release date, and the cabinet's members are dated with it.
"""
import datetime
import hashlib
import os
import re
import struct
import subprocess
import tempfile
import uuid
from pathlib import Path
from xml.sax.saxutils import quoteattr

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
TEMPLATE = HERE / "product.wxs"
REGISTRY_SCRIPT = SOURCE / "translator" / "module" / "AccessControlTrans.rgs"
IDL = SOURCE / "translator" / "idl" / "TallyportAccessControl.idl"
# Fixed for the product's life: it ties every version's package together.
UPGRADE_CODE = uuid.UUID("3E35AEF0-8087-48BE-B37F-AE81DD8E522C")
DLL_FILE_ID = "TranslatorDll"
# The Application log's sources; the translator's is named after the product
# (the DLL's TLY_PRODUCT_NAME, from the same product.ini).
EVENT_LOG_KEY = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"
SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVISION, PID_CREATED, PID_SAVED = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
TYPELIB_MAGIC = b"MSFT\x02\x00\x01\x00"
LIBFLAG_FHASDISKIMAGE = 8


def braced(guid: str) -> str:
    return "{" + guid.upper() + "}"


def idl_identifiers(idl_text: str) -> dict:
    """The class and library identifiers and the library's version and help string."""
    def attributes_before(declaration):
        match = re.search(r"\[([^\[\]]*)\]\s*" + declaration, idl_text)
        if not match:
            raise SystemExit(f"make_msi: no attributes before '{declaration}' in {IDL.name}")
        return match.group(1)

    library = attributes_before(r"library\s+\w+")
    coclass = attributes_before(r"coclass\s+AccessControlTrans")
    version = re.search(r"version\((\d+)\.(\d+)\)", library)
    return {
        "CLSID": braced(re.search(r"uuid\(([-0-9A-Fa-f]+)\)", coclass).group(1)),
        "LIBID": braced(re.search(r"uuid\(([-0-9A-Fa-f]+)\)", library).group(1)),
        "LIBVERSION": f"{int(version.group(1)):x}.{int(version.group(2)):x}",
        "LIBHELP": re.search(r'helpstring\("([^"]*)"\)', library).group(1),
    }


def registry_script_values(script: str, replacements: dict) -> list:
    """(root, key, value name or None, value) for every value the script
    writes on registration, in script order. Keys without values (such as
    "NoRemove CLSID") write nothing of their own."""
    text = re.sub(r"%(\w*)%", lambda m: replacements[m.group(1).upper()] if m.group(1) else "%", script)
    tokens = re.findall(r"'(?:[^']|'')*'|[{}=]|[^\s{}=']+", text)
    position = 0

    def take(expected=None):
        nonlocal position
        token = tokens[position]
        if expected and token != expected:
            raise SystemExit(f"make_msi: {REGISTRY_SCRIPT.name}: expected {expected!r}, found {token!r}")
        position += 1
        return token

    def string_value():
        kind = take()
        if kind.lower() != "s":
            raise SystemExit(f"make_msi: {REGISTRY_SCRIPT.name}: only string values are supported, not {kind!r}")
        return take()[1:-1].replace("''", "'")

    def key_name():
        if tokens[position] == "{":  # a braced GUID: the braces belong to the name
            take("{")
            name = "{" + take() + "}"
            take("}")
            return name
        return take()

    values = []

    def key(root, parent):
        name = key_name()
        if name.lower() in ("noremove", "forceremove", "delete"):
            flag, name = name.lower(), key_name()
        else:
            flag = None
        path = f"{parent}\\{name}" if parent else name
        if tokens[position] == "=":
            take("=")
            values.append((root, path, None, string_value()))
        if position < len(tokens) and tokens[position] == "{":
            take("{")
            while tokens[position] != "}":
                if tokens[position].lower() == "val":
                    take()
                    value_name = take()
                    take("=")
                    values.append((root, path, value_name, string_value()))
                else:
                    key(root, path)
            take("}")
        if flag == "delete":
            raise SystemExit(f"make_msi: {REGISTRY_SCRIPT.name}: a Delete key has no form in the package")

    while position < len(tokens):
        root = take()
        take("{")
        while tokens[position] != "}":
            key(root, "")
        take("}")
    return values


def type_library_flags(dll: bytes) -> int:
    """The flags RegisterTypeLib writes: the type library's own (the header of
    the DLL's TYPELIB resource) and "loaded from a file"."""
    at = dll.find(TYPELIB_MAGIC)
    if at < 0:
        raise SystemExit("make_msi: the DLL holds no type library")
    return (struct.unpack_from("<I", dll, at + 28)[0] & 0xFFFF) | LIBFLAG_FHASDISKIMAGE


def registration_values(module: str, folder: str, dll: bytes) -> list:
    """What DllRegisterServer writes, with module standing for the DLL's path
    and folder for its folder: the registry script's values, then the type
    library's keys (dll: the DLL's bytes)."""
    ids = idl_identifiers(IDL.read_text(encoding="utf-8"))
    values = registry_script_values(REGISTRY_SCRIPT.read_text(encoding="utf-8"),
                                    {"MODULE": module, "CLSID": ids["CLSID"], "LIBID": ids["LIBID"]})
    library = f"TypeLib\\{ids['LIBID']}\\{ids['LIBVERSION']}"
    values += [
        ("HKCR", library, None, ids["LIBHELP"]),
        ("HKCR", library + "\\FLAGS", None, str(type_library_flags(dll))),
        ("HKCR", library + "\\0\\win32", None, module),
        ("HKCR", library + "\\HELPDIR", None, folder),
    ]
    return values


def registry_elements(values: list) -> str:
    """The values as wixl RegistryValue elements, indented for the template.
    Formatted text: a literal [ or ] would need escaping, and the values
    have none but the file and folder references put in on purpose."""
    lines = []
    for root, key, name, value in values:
        if root.upper() not in ("HKCR", "HKEY_CLASSES_ROOT"):
            raise SystemExit(f"make_msi: registry root {root} is not supported")
        name_attribute = f" Name={quoteattr(name)}" if name else ""
        lines.append(f"            <RegistryValue Root=\"HKCR\" Key={quoteattr(key)}{name_attribute} "
                     f"Type=\"string\" Value={quoteattr(value)}/>")
    return "\n".join(lines)


def filetime(date: datetime.date) -> int:
    moment = datetime.datetime(date.year, date.month, date.day, tzinfo=datetime.timezone.utc)
    epoch = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)
    return int((moment - epoch).total_seconds()) * 10_000_000


def fix_summary(msi: Path, release: datetime.date, package_code: str) -> None:
    """Puts the release date and the derived package code into the summary
    information, where wixl writes the time of the build and a random code.
    Both are replaced in place: the stream keeps its size."""
    import olefile  # Debian's python3-olefile, installed by tools/setup.sh

    with olefile.OleFileIO(str(msi), write_mode=True) as storage:
        data = bytearray(storage.openstream(SUMMARY_STREAM).read())
        section = struct.unpack_from("<I", data, 44)[0]
        for index in range(struct.unpack_from("<I", data, section + 4)[0]):
            identifier, offset = struct.unpack_from("<II", data, section + 8 + 8 * index)
            at = section + offset
            kind = struct.unpack_from("<I", data, at)[0]
            if identifier in (PID_CREATED, PID_SAVED) and kind == VT_FILETIME:
                struct.pack_into("<Q", data, at + 4, filetime(release))
            elif identifier == PID_REVISION and kind == VT_LPSTR:
                code = package_code.encode("ascii") + b"\0"
                if struct.unpack_from("<I", data, at + 4)[0] != len(code):
                    raise SystemExit("make_msi: the package code in the summary has an unexpected size")
                data[at + 8:at + 8 + len(code)] = code
        storage.write_stream(SUMMARY_STREAM, bytes(data))


def build_msi(out: Path, members: list, product: dict, template: Path = TEMPLATE) -> None:
    """out: the package to write; members: (file name, bytes) of the files it
    installs; product: name, description, publisher, version, release date;
    template: the package's source (the tests build an earlier layout's)."""
    version = product["version"]
    product_code = braced(str(uuid.uuid5(UPGRADE_CODE, "product " + version)))
    digest = hashlib.sha256(version.encode())
    for name, data in members:
        digest.update(name.encode() + b"\0" + hashlib.sha256(data).digest())
    package_code = braced(str(uuid.UUID(bytes=digest.digest()[:16], version=4)))

    ids = idl_identifiers(IDL.read_text(encoding="utf-8"))
    dll = dict(members)["TallyportAccessControlTranslator.dll"]
    values = registration_values(f"[#{DLL_FILE_ID}]", "[INSTALLFOLDER]", dll)
    text = template.read_text(encoding="utf-8")
    for placeholder, value in {
        "@REGISTRY@": registry_elements(values),
        "@PRODUCT_CODE@": product_code,
        "@UPGRADE_CODE@": braced(str(UPGRADE_CODE)),
        "@PRODUCT_NAME@": product["name"],
        "@DESCRIPTION@": product["description"],
        "@PUBLISHER@": product["publisher"],
        "@VERSION@": version,
        "@PRODUCT_KEY@": "Software\\" + product["publisher"] + "\\" + product["name"],
        "@EVENT_SOURCE_KEY@": EVENT_LOG_KEY + "\\" + product["name"],
        "@CLSID@": ids["CLSID"],
        "@LIBID@": ids["LIBID"],
    }.items():
        text = text.replace(placeholder, value)

    release = product["release_date"]
    stamp = datetime.datetime(release.year, release.month, release.day, tzinfo=datetime.timezone.utc).timestamp()
    with tempfile.TemporaryDirectory(prefix="tly-msi-") as staging:
        staging = Path(staging)
        for name, data in members:
            (staging / name).write_bytes(data)
            os.utime(staging / name, (stamp, stamp))  # the cabinet dates its members by the files
        (staging / "product.wxs").write_text(text, encoding="utf-8")
        built = staging / "product.msi"
        subprocess.run(["wixl", "--arch", "x86", "--output", str(built), "product.wxs"], cwd=staging, check=True,
                       stdin=subprocess.DEVNULL)
        fix_summary(built, release, package_code)
        temporary = out.with_suffix(".msi.tmp")
        temporary.write_bytes(built.read_bytes())
        os.replace(temporary, out)
