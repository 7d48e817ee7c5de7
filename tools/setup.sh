#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (run as root).
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
  g++-mingw-w64-i686 mingw-w64-tools
  wine wine32:i386 wine64 libwine-dev
  nlohmann-json3-dev googletest cmake make python3-aiohttp openssl
  wixl msitools osslsigncode python3-olefile
  jq  # the system test runs the README's log recipes as printed
  # the native test lane (tests/native, tools/fuzz-native): clang with its
  # sanitizer and libFuzzer runtimes, llvm-cov and llvm-profdata for coverage
  clang-14 libclang-rt-14-dev libfuzzer-14-dev llvm-14 ninja-build libgtest-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # A mirror caught mid-sync serves an index that does not match its release
  # file: apt-get update then fails for that index alone. Try it a few times;
  # what it could not refresh stays as it was.
  for attempt in 1 2 3; do
    apt-get update -qq </dev/null && break
    echo "setup: apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -lt 3 ] && sleep 15
  done
  # The i386 packages must carry exactly the versions of their amd64 twins.
  # When one architecture's security index is missing, the two resolve to
  # different versions and the install is refused; the release's own suite
  # has both architectures at one version, so take the packages from it.
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null; then
    echo "setup: install refused; trying again with the release suite's versions" >&2
    apt-get install -y -qq --no-install-recommends -t bookworm "${missing[@]}" </dev/null >/dev/null
  fi
fi
