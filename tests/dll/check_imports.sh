#!/usr/bin/env bash
# Checks a built program or DLL: its import table names only Windows' "known
# DLLs" (always taken from the system folder), and each DLL given after the
# file is delay-loaded instead (its name is in the file, its import is not):
# a file of that name beside the program is never looked at.
set -euo pipefail
file=$1
shift

imports=$(i686-w64-mingw32-objdump -p "$file" | grep -oP 'DLL Name: \K\S+' | tr 'A-Z' 'a-z' | sort -u)
known='^(kernel32|user32|gdi32|advapi32|ole32|oleaut32|shell32|shlwapi|msvcrt|ws2_32|rpcrt4|api-ms-win-.*)\.dll$'
bad=$(grep -vE "$known" <<<"$imports" || true)
if [ -n "$bad" ]; then echo "$file imports DLLs that are not known DLLs: $bad"; exit 1; fi
for delayed in "$@"; do
  grep -qix "$delayed" <<<"$(strings -n 6 "$file")" || { echo "$file does not delay-load $delayed"; exit 1; }
done
echo "imports: $(echo $imports); delay-loaded: $*"
