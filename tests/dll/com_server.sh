#!/usr/bin/env bash
# The registered COM server for the tests that create the translator through
# COM, in the build tree's Wine prefix.
#   com_server.sh register   DLL DIR  copy DLL into DIR, register it with regsvr32, check every
#                                     key; unregister and check the keys are gone and CLSID stays;
#                                     register again and leave it registered
#   com_server.sh unregister DLL DIR  unregister the copy in DIR and check the keys are gone
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run="$here/../../tools/wine-run.sh"
mode=$1
dll_name=$(basename "$2")
dir=$3
dll="$dir/$dll_name"

progid=TallyportAccessControlTranslator.AccessControlTrans
fail() { echo "FAIL: $*"; exit 1; }

# The default value, or the named value with -v NAME, of a key; empty when missing.
value() {
  local key=$1; shift
  local args=(/ve)
  [ $# -gt 0 ] && args=(/v "$1")
  "$wine_run" reg query "$key" "${args[@]}" 2>/dev/null </dev/null | tr -d '\r' |
    awk -F'    ' 'NF >= 4 && $3 ~ /^REG_/ {print $4}'
}
exists() { "$wine_run" reg query "$1" >/dev/null 2>&1 </dev/null; }
expect() { [ "$2" = "$3" ] || fail "$1: '$2', expected '$3'"; }

regsvr() {
  local rc=0
  "$wine_run" regsvr32 /s "$@" >/dev/null 2>&1 </dev/null || rc=$?
  echo $rc
}

check_registered() {
  clsid=$(value "HKCR\\$progid\\CLSID")
  [[ "$clsid" =~ ^\{[0-9A-F-]{36}\}$ ]] || fail "ProgID $progid does not name a class: '$clsid'"
  expect "ProgID" "$(value "HKCR\\$progid")" "AccessControlTrans Class"
  expect "CurVer" "$(value "HKCR\\$progid\\CurVer")" "$progid.1"
  expect "versioned ProgID" "$(value "HKCR\\$progid.1")" "AccessControlTrans Class"
  expect "versioned ProgID CLSID" "$(value "HKCR\\$progid.1\\CLSID")" "$clsid"
  local class="HKCR\\CLSID\\$clsid"
  expect "class" "$(value "$class")" "AccessControlTrans Class"
  expect "class ProgID" "$(value "$class\\ProgID")" "$progid.1"
  expect "class VersionIndependentProgID" "$(value "$class\\VersionIndependentProgID")" "$progid"
  local server
  server=$(value "$class\\InprocServer32")
  expect "InprocServer32" "$server" "Z:$(echo "$dll" | tr / '\\')"
  expect "ThreadingModel" "$(value "$class\\InprocServer32" ThreadingModel)" "Both"
  libid=$(value "$class\\TypeLib")
  [[ "$libid" =~ ^\{[0-9A-F-]{36}\}$ ]] || fail "class names no type library: '$libid'"
  expect "type library" "$(value "HKCR\\TypeLib\\$libid\\1.0\\0\\win32")" "$server"
}

check_unregistered() {
  for key in "HKCR\\$progid" "HKCR\\$progid.1" "HKCR\\CLSID\\$clsid" "HKCR\\TypeLib\\$libid"; do
    exists "$key" && fail "still registered: $key"
  done
  exists 'HKCR\CLSID' || fail 'HKCR\CLSID was removed'
  return 0
}

case "$mode" in
  register)
    mkdir -p "$dir"
    cp "$2" "$dll"
    expect "regsvr32" "$(regsvr "$dll")" 0
    check_registered
    expect "regsvr32 /u" "$(regsvr /u "$dll")" 0
    check_unregistered
    expect "regsvr32 again" "$(regsvr "$dll")" 0
    check_registered
    echo "registered $clsid from $dll"
    ;;
  unregister)
    clsid=$(value "HKCR\\$progid\\CLSID")
    libid=$(value "HKCR\\CLSID\\$clsid\\TypeLib")
    expect "regsvr32 /u" "$(regsvr /u "$dll")" 0
    check_unregistered
    echo "unregistered $dll"
    ;;
  *) echo "usage: $0 register|unregister DLL DIR" >&2; exit 2 ;;
esac
