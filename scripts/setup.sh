#!/bin/sh
# Installs what the build and the tests need from Debian's packages (idempotent; needs root).
set -eu
packages="procps cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 nlohmann-json3-dev googletest libgcrypt-mingw-w64-dev python3 python3-pytest openssl libgnutls30"
# Reading the built programs' resources back (version, manifest, message table) in the tests.
packages="$packages python3-pefile"
# The native build of the portable core: clang with its sanitizer runtimes and libFuzzer.
packages="$packages clang-14 libclang-rt-14-dev libfuzzer-14-dev llvm-14 libgcrypt20-dev"
# Release packages: wixl builds the MSI, msitools edits, checks and unpacks it, osslsigncode signs.
packages="$packages wixl msitools osslsigncode"
# The 32-bit client library: its compiler, and Wine's 32-bit half to test it (wine32 is an
# i386 package, so dpkg must know that architecture first). lld links the SDK's test program
# compiled for the MSVC target, as other toolchains would.
packages="$packages g++-mingw-w64-i686-posix wine32:i386 lld"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture (for wine32)"
  dpkg --add-architecture i386  # wine32 is then missing, and the lists are read again below
fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
