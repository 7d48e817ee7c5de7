#!/usr/bin/env bash
# Checks the built DLL: a PE32 i386 DLL that imports only Windows' known DLLs
# (winhttp and crypt32 delay-loaded) and exports exactly the names of the .def
# file, undecorated.
set -euo pipefail
dll=$1
def=$2

dump=$(i686-w64-mingw32-objdump -p "$dll")
grep -q 'file format pei-i386' <<<"$(i686-w64-mingw32-objdump -f "$dll")" || { echo "not a PE32 i386 file"; exit 1; }

imports=$(grep -oP 'DLL Name: \K\S+' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
# winhttp and crypt32 are delay-loaded from the system folder (check_imports.sh).
"$(dirname "$0")/check_imports.sh" "$dll" winhttp.dll crypt32.dll >/dev/null

expected=$(sed -n '/^EXPORTS/,$p' "$def" | tail -n +2 | awk '{print $1}' | grep -v '^$' | sort)
actual=$(awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/\[/{print $NF} f&&/^$/{exit}' <<<"$dump" | sort)
if [ "$expected" != "$actual" ]; then
  echo "export table differs from $def"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: $(wc -l <<<"$actual") names, imports: $(echo $imports)"
