#!/bin/sh
# Runs the fuzz targets of the portable core, each for SECONDS (default 60), from its seed
# corpus in tests/fuzz/corpus/<target>, several at a time (FUZZ_JOBS, default one per core);
# builds the native preset first when needed.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...] [-- LIBFUZZER_FLAG...]   (default: every target)
# A target whose source names a dictionary ("// libFuzzer dictionary: NAME") runs with
# tests/fuzz/NAME; flags after "--" go to every target (for example -use_value_profile=1).
#
# What a run finds that is new goes to build-native/fuzz/corpus/<target> and is the start of
# the next run; the seeds in the repository are never written. A crash, a sanitizer report,
# a leak, a failed property or an input slower than 10 s stops its target, leaves the input in
# build-native/fuzz/findings/<target>/ and makes the exit status 1.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
case "${1:-}" in
  '' | *[!0-9]*) ;;
  *) seconds=$1; shift ;;
esac
if [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [SECONDS (1 or more)] [TARGET...] [-- LIBFUZZER_FLAG...]" >&2
  exit 2
fi
if ! build_output=$(sh "$top/scripts/build-native.sh" 2>&1); then
  printf '%s\n' "$build_output" >&2
  exit 1
fi
# Sanitizer reports with file and line (llvm-14 carries the symbolizer).
export ASAN_SYMBOLIZER_PATH="${ASAN_SYMBOLIZER_PATH:-/usr/lib/llvm-14/bin/llvm-symbolizer}"

out="$top/build-native/fuzz"
targets=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  targets="$targets $1"
  shift
done
[ $# -gt 0 ] && shift  # the "--"; what is left are flags for libFuzzer
if [ -z "$targets" ]; then
  # Every target the sources define, so that one that was not built counts as failed.
  targets=$(cd "$top/tests/fuzz" && ls fuzz_*.cpp 2>/dev/null | sed 's/\.cpp$//')
  if [ -z "$targets" ]; then
    echo "fuzz: no targets in tests/fuzz" >&2
    exit 1
  fi
fi
# FUZZ_JOBS targets run at once (default: one per core); each writes its own log and status,
# and the table lists them in the order they were named once every one has ended.
jobs=${FUZZ_JOBS:-$(nproc)}
mkdir -p "$out/logs"

# Runs one target and leaves "ok" or "FAILED" in its status file.
run_target() {
  target=$1
  shift
  seeds="$top/tests/fuzz/corpus/$target"
  work="$out/corpus/$target"
  findings="$out/findings/$target"
  log="$out/logs/$target.log"
  status="$out/logs/$target.status"
  rm -f "$status"
  if [ ! -x "$out/$target" ] || [ -z "$(ls -A "$seeds" 2>/dev/null)" ]; then
    echo "$target: not built, or no seeds in tests/fuzz/corpus/$target" >"$log"
    echo missing >"$status"
    return
  fi
  dictionary=$(sed -n 's|^// libFuzzer dictionary: *\([A-Za-z0-9_.-]*\)$|\1|p' "$top/tests/fuzz/$target.cpp" 2>/dev/null)
  if [ -n "$dictionary" ] && [ ! -f "$top/tests/fuzz/$dictionary" ]; then
    echo "$target: no dictionary tests/fuzz/$dictionary" >"$log"
    echo missing >"$status"
    return
  fi
  mkdir -p "$work" "$findings"
  if "$out/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      ${dictionary:+-dict="$top/tests/fuzz/$dictionary"} -artifact_prefix="$findings/" "$@" \
      "$work" "$seeds" >"$log" 2>&1; then
    echo ok >"$status"
  else
    echo FAILED >"$status"
  fi
}

running=0
for target in $targets; do
  run_target "$target" "$@" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait
    running=0
  fi
done
wait

passed=0
failed=0
printf '%-22s %8s %12s %10s %8s  %s\n' target seconds executions "exec/s" corpus result
for target in $targets; do
  log="$out/logs/$target.log"
  result=$(cat "$out/logs/$target.status" 2>/dev/null || echo FAILED)
  if [ "$result" = missing ]; then
    cat "$log" >&2
    failed=$((failed + 1))
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  units=$(ls "$out/corpus/$target" | wc -l)
  printf '%-22s %8s %12s %10s %8s  %s\n' "$target" "$seconds" "${runs:-?}" "${rate:-?}" "$units" "$result"
  if [ "$result" = ok ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    grep -v '^#\|^INFO:\|^stat::' "$log" | tail -n 40 >&2
    echo "$target: the failing input is in $out/findings/$target/ (full output: $log)" >&2
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
