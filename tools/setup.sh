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
  apt-get update -qq </dev/null
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi
