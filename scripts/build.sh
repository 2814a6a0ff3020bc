#!/bin/sh
# Configures (first time) and builds the project in ./build: every target, or only the ones
# named (for example "sh scripts/build.sh ostrival_guardian").
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ ! -f build/build.ninja ]; then
  cmake --preset mingw-release >/dev/null
fi
if [ $# -gt 0 ]; then
  cmake --build build -j"$(nproc)" --target "$@"
else
  cmake --build build -j"$(nproc)"
fi
