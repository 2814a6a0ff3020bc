#!/bin/sh
# Configures (first time) and builds the whole project in ./build.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ ! -f build/build.ninja ]; then
  cmake --preset mingw-release >/dev/null
fi
cmake --build build -j"$(nproc)"
