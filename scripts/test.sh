#!/bin/sh
# Sets up, builds, and runs every test (unit tests under Wine and the black-box tests).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
cd "$top/build"
ctest --output-on-failure -j"$(nproc)" "$@"
