#!/bin/sh
# Sets up, builds, and runs every test: the unit tests under Wine and the black-box tests
# (in lanes, side by side), then the fuzzing of the portable core. The black-box tests mostly
# wait (on an agent, a time-out, a service), so the native build of the portable core (clang,
# AddressSanitizer and UBSan) and its unit tests run alongside the Windows build and tests, at
# a lower priority; each fuzz target then runs for 20 s from its corpus, two at a time. Extra
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
# More tests run at once than there are cores: the lanes of black-box modules, and the unit
# tests in the gaps.
jobs=$(( $(nproc) * 3 ))
times=""
first=$(date +%s)
began=$first
step() {  # step NAME [SECONDS]: records a step's time (default: since the previous step)
  now=$(date +%s)
  times="$times$(printf '%-16s %4d s' "$1" "${2:-$((now - began))}")
"
  began=$now
}

"$top/scripts/setup.sh"
step setup
if [ "$quick" -eq 0 ]; then
  # The native side, in the background from the start (it fills the gaps of the Windows build
  # and the waits of its tests): its output and its steps' times go to files, shown once the
  # Windows tests have ended.
  native_log=$(mktemp)
  native_times=$(mktemp)
  native_status=$(mktemp)
  # The native side ends with the script, however the script ends.
  stop_tree() {  # stop_tree PID: that process and everything it started
    local kids
    kids=$(pgrep -P "$1" || true)
    kill -TERM "$1" 2>/dev/null || true
    for kid in $kids; do stop_tree "$kid"; done
  }
  native=""
  trap '[ -z "$native" ] || stop_tree "$native"; rm -f "$native_log" "$native_times" "$native_status"' EXIT
  trap 'exit 130' INT TERM
  (
    s=$(date +%s)
    ok=1
    nice -n 10 "$top/scripts/build-native.sh" || ok=0
    t=$(date +%s)
    echo "native build $((t - s))" >"$native_times"
    # In the whole run, a native build that registered no test is a failure, not a pass.
    no_tests=error
    [ $# -eq 0 ] || no_tests=ignore
    if [ "$ok" -eq 1 ]; then
      (cd "$top/build-native" && nice -n 10 ctest --output-on-failure --no-tests="$no_tests" -j"$(nproc)" "$@") || ok=0
    fi
    echo "native tests $(( $(date +%s) - t ))" >>"$native_times"
    echo "$ok" >"$native_status"
  ) >"$native_log" 2>&1 &
  native=$!
fi
"$top/scripts/build.sh"
step "windows build"
status=0
if [ "$quick" -eq 1 ]; then
  (cd "$top/build" && GUARDIAN_QUICK=1 ctest --output-on-failure -j"$jobs" -LE 'release|soak' "$@") || status=1
  step "windows tests"
  printf '%s' "$times"
  exit "$status"
fi

# A failed test fails the run. The one exception is a failure that shows a signature of Wine's
# own, printed by the test as "wine signature: NAME" (tests/blackbox/conftest.py): such a test
# runs once more, and the summary names it with the signature. A signature is listed here only
# once it has been shown to be Wine's:
#   output-lost   a program ended with exit code 0 and no output at all while its session's
#                 server was not persistent (wine.md: 6 of 40 help texts lost that way, 0 of 40
#                 with a persistent server)
#   server-gone   a program outlived its time limit, or an agent did not end on Ctrl+C, and the
#                 lane's Wine server was no longer there: every program of the session then
#                 stays blocked in its next wait for good (README, "Running tests")
wine_signatures="output-lost server-gone"
if ! (cd "$top/build" && ctest --output-on-failure -j"$jobs" "$@"); then
  # Each failed test with the signatures in its output: "NAME SIGNATURE..." (none: "NAME -").
  failed=$(awk -v list="$(sed -n 's/^[0-9]*://p' "$top/build/Testing/Temporary/LastTestsFailed.log" | tr '\n' ' ')" '
    BEGIN { n = split(list, names, " "); for (i = 1; i <= n; i++) wanted[names[i]] = 1 }
    /^[0-9]+\/[0-9]+ Test: / { test = $3 }
    /wine signature: / && (test in wanted) { sub(/.*wine signature: /, ""); sigs[test] = sigs[test] " " $1 }
    END { for (t in wanted) print t (t in sigs ? sigs[t] : " -") }' "$top/build/Testing/Temporary/LastTest.log")
  rerun=""
  echo "$failed" | while read -r name sigs; do
    if [ "$sigs" = "-" ]; then echo "=== failed: $name"; else echo "=== failed: $name (wine signature:$sigs)"; fi
  done
  for name in $(echo "$failed" | awk -v known=" $wine_signatures " '{
      ok = NF > 1; for (i = 2; i <= NF; i++) if (index(known, " " $i " ") == 0) ok = 0
      if (ok) print $1 }'); do
    rerun="$rerun $name"
  done
  if [ -n "$rerun" ] && [ "$(echo "$rerun" | wc -w)" -eq "$(echo "$failed" | grep -c .)" ]; then
    retried=$(echo "$failed" | tr '\n' ';')
    echo "=== every failure shows a signature of Wine's; run again:$rerun"
    (cd "$top/build" && ctest --output-on-failure -R "^($(echo $rerun | tr ' ' '|'))\$") || status=1
  else
    status=1
  fi
fi
step "windows tests"
wait "$native" || true
cat "$native_log"
[ "$(cat "$native_status")" = 1 ] || status=1
step "waiting for native"
while read -r word1 word2 seconds; do
  times="$times$(printf '%-16s %4d s (alongside the Windows side)' "$word1 $word2" "$seconds")
"
done <"$native_times"
if [ $# -eq 0 ]; then
  "$top/scripts/fuzz.sh" 20 || status=1
  step fuzzing
fi
step total "$(( $(date +%s) - first ))"
printf '%s' "$times"
[ -z "${retried:-}" ] || echo "failed once with a signature of Wine's, then run again: $retried"
exit "$status"
