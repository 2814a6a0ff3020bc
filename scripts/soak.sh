#!/bin/sh
# The soak and fault harness: runs the agent under Wine for the given minutes with mixed load and
# faults (scripts/soak.py says which and what it checks), prints one line a minute and a
# verdict with its figures, and exits 0 when the verdict is clean, 1 otherwise. On a hang it
# leaves the session's thread backtraces and the agent's log in build/soak/.
# Usage: soak.sh --minutes N [--seed S] [--build DIR]
# Without --build, it builds what it runs into ./build first.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
case " $* " in
  *" --build "*) ;;
  *) "$top/scripts/build.sh" ostrival_guardian ostrival_sentinel ostrival_guardian_client raw_pipe_client \
       client_library_tool log_writer service_tool channel_secret_tool >/dev/null ;;
esac
exec /usr/bin/python3 "$top/scripts/soak.py" "$@"
