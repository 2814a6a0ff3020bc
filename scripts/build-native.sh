#!/bin/sh
# Configures (first time) and builds the portable core natively into ./build-native: clang-14
# under AddressSanitizer and UBSan, its unit tests and its fuzz targets (preset native-fuzz).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ ! -f build-native/build.ninja ]; then
  cmake --preset native-fuzz >/dev/null
fi
cmake --build build-native -j"$(nproc)"
