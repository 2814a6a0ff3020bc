#!/bin/sh
# Sets up, builds, and runs every test: the unit tests under Wine and the black-box tests,
# then the portable core built natively under AddressSanitizer and UBSan: its unit tests and
# each fuzz target for 20 s from its corpus. Extra arguments go to both ctest runs and leave
# the fuzzing out (scripts/fuzz.sh runs it alone).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
status=0
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)" "$@") || status=1
"$top/scripts/build-native.sh"
if [ $# -eq 0 ]; then
  # The whole run: a native build that registered no test is a failure, not a pass.
  (cd "$top/build-native" && ctest --output-on-failure --no-tests=error -j"$(nproc)") || status=1
  "$top/scripts/fuzz.sh" 20 || status=1
else
  (cd "$top/build-native" && ctest --output-on-failure -j"$(nproc)" "$@") || status=1
fi
exit "$status"
