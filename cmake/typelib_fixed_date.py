"""widl writes the time of the build into a type library twice: as the text
"Created by WIDL version V at <date>" and, right after it, as a 32-bit number
of seconds (custom data of type VT_UI4). So two builds of the same IDL give
different bytes, and so does the DLL that carries the library. This puts a
fixed date of the same length, and 0, in their places, leaving the library's
layout as it was.

    typelib_fixed_date.py FILE.tlb
"""
import re
import sys

VT_UI4 = b"\x13\x00"
STAMP = re.compile(rb"(Created by WIDL version [^\0\n]* at )"
                   rb"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}"
                   rb"(\n?W*" + VT_UI4 + rb")(.{4})", re.DOTALL)
FIXED_DATE = b"Thu Jan  1 00:00:00 1970"

path = sys.argv[1]
with open(path, "rb") as library:
    data = library.read()
fixed = STAMP.sub(lambda match: match.group(1) + FIXED_DATE + match.group(2) + b"\0\0\0\0", data)
if fixed != data:
    with open(path, "wb") as library:
        library.write(fixed)
