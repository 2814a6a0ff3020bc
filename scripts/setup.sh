#!/bin/sh
# Installs what the build and the tests need from Debian's packages (idempotent; needs root).
set -eu
packages="cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 nlohmann-json3-dev googletest libgcrypt-mingw-w64-dev python3 python3-pytest python3-pefile openssl libgnutls30"
# The native build of the portable core: clang with its sanitizer runtimes and libFuzzer.
packages="$packages clang-14 libclang-rt-14-dev libfuzzer-14-dev llvm-14 libgcrypt20-dev"
# Release packages: wixl builds the MSI, msitools edits, checks and unpacks it, osslsigncode signs.
packages="$packages wixl msitools osslsigncode"
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
