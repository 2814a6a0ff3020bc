#!/bin/sh
# Sets up, builds, and runs every test: the unit tests under Wine and the black-box tests
# (in lanes, side by side), then the portable core built natively under AddressSanitizer and
# UBSan: its unit tests and each fuzz target for 20 s from its corpus, two at a time. Extra
# arguments go to both ctest runs and leave the fuzzing out (scripts/fuzz.sh runs it alone).
#
# "--quick" (first argument) is for the edit-test loop: the Windows unit tests and the
# black-box tests that take a few seconds each (tests marked slow are skipped), without the
# release packages, the native build or the fuzzing. CI runs everything.
# Each step's time is printed at the end.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
  shift
fi
# Black-box modules mostly wait (on an agent, a time-out, a service): more of them run at once
# than there are cores.
jobs=$(( $(nproc) * 2 ))
times=""
began=$(date +%s)
step() {  # step NAME: records the time since the previous step
  now=$(date +%s)
  times="$times$(printf '%-16s %4d s' "$1" $((now - began)))
"
  began=$now
}

"$top/scripts/setup.sh"
step setup
"$top/scripts/build.sh"
step "windows build"
status=0
if [ "$quick" -eq 1 ]; then
  (cd "$top/build" && GUARDIAN_QUICK=1 ctest --output-on-failure -j"$jobs" -LE release "$@") || status=1
  step "windows tests"
else
  (cd "$top/build" && ctest --output-on-failure -j"$jobs" "$@") || status=1
  step "windows tests"
  "$top/scripts/build-native.sh"
  step "native build"
  if [ $# -eq 0 ]; then
    # The whole run: a native build that registered no test is a failure, not a pass.
    (cd "$top/build-native" && ctest --output-on-failure --no-tests=error -j"$(nproc)") || status=1
    step "native tests"
    "$top/scripts/fuzz.sh" 20 || status=1
    step fuzzing
  else
    (cd "$top/build-native" && ctest --output-on-failure -j"$(nproc)" "$@") || status=1
    step "native tests"
  fi
fi
printf '%s' "$times"
exit "$status"
