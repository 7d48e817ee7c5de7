#!/usr/bin/env bash
# Checks the shipped DLL of a release build: at most 2 MiB, no debug sections
# of its own, and a .gnu_debuglink to the debug file beside it, through which
# addr2line (as gdb would) finds the source line of an exported function; and
# checking leaves the DLL as it was.
set -euo pipefail
dll=$1
debug="$dll.debug"
limit=$((2 * 1048576))

before=$(sha256sum < "$dll")
size=$(stat -c %s "$dll")
[ "$size" -le "$limit" ] || { echo "the DLL has $size bytes, more than $limit"; exit 1; }
sections=$(i686-w64-mingw32-objdump -h "$dll")
if grep -q ' \.debug_' <<<"$sections"; then echo "the DLL still carries debug sections"; exit 1; fi
[ -f "$debug" ] || { echo "no debug file $debug"; exit 1; }
grep -q ' \.debug_info' <<<"$(i686-w64-mingw32-objdump -h "$debug")" || { echo "$debug has no .debug_info"; exit 1; }
# objcopy given no output file rewrites its input in place, stamping the time
# of day into the header: it writes a copy here, so the DLL stays as built.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$scratch/link" "$dll" "$scratch/copy" 2>/dev/null || true
link=$(tr -d '\0' < "$scratch/link" 2>/dev/null | head -c 200 || true)
[[ "$link" == "$(basename "$debug")"* ]] || { echo "the DLL's debug link names '$link', not $(basename "$debug")"; exit 1; }

# The export's address, as the loader would place it, back to its source line.
headers=$(i686-w64-mingw32-objdump -p "$dll")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
ordinal=$(awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&$NF=="TLYAPI_Init"{match($0,/[0-9]+/); print substr($0,RSTART,RLENGTH); exit}' <<<"$headers")
rva=$(awk -v n="$ordinal" '/Export Address Table -- /{f=1;next} f&&/Export RVA/{match($0,/[0-9]+/); if (substr($0,RSTART,RLENGTH)==n) {print $(NF-2); exit}}' <<<"$headers")
where=$(i686-w64-mingw32-addr2line -f -e "$dll" "$(printf '0x%x' $((0x$base + 0x$rva)))")
grep -q 'Exports.cpp:[0-9]' <<<"$where" || { echo "addr2line found no source line for TLYAPI_Init: $where"; exit 1; }
[ "$(sha256sum < "$dll")" = "$before" ] || { echo "checking the DLL changed it"; exit 1; }
echo "DLL $size bytes, debug file $(stat -c %s "$debug") bytes; TLYAPI_Init is at ${where//$'\n'/ }"
