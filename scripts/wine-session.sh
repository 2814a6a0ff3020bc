#!/bin/sh
# Starts or stops the Wine session of a prefix, detached from the caller's output, so that
# the Wine server and the service processes it starts never hold a test runner's pipes.
# Usage: wine-session.sh start|stop PREFIX [DEBUG_FILE]
# The persistent server's pid is kept in PREFIX.server.pid, and PREFIX.server.log says when it
# started and how it ended.
# With DEBUG_FILE, the session boots with the Event Log's debug channels on, and the output of
# the programs it starts (the SCM and the services) goes to that file: Wine's ReportEventW
# prints each entry's type, ID and strings there.
set -u
action=${1:?start or stop}
WINEPREFIX=${2:?prefix}
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/wine-loader.sh"
# The server of this prefix: its working folder is named after the prefix's device and inode.
server_pid() {
  key=$(printf 'server-%x-%x' $(stat -L -c '%d %i' "$WINEPREFIX"))
  for pid in $(pgrep wineserver); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
      */"$key") echo "$pid"; return 0 ;;
    esac
  done
}

# True when that server runs without a time limit (its last argument is a bare -p).
persistent_server() {
  pid=$(server_pid)
  [ -n "$pid" ] && [ "$(tr '\0' '\n' <"/proc/$pid/cmdline" | tail -n 1)" = "-p" ]
}

case "$action" in
  start)
    # A lane's prefix is a copy of the build tree's template (GUARDIAN_WINE_TEMPLATE).
    sh "$(dirname "$0")/wine-prefix.sh" "$WINEPREFIX" "${GUARDIAN_WINE_TEMPLATE:-}"
    # The session must be persistent: a server that a "wine" command starts for itself ends a
    # moment after its last program, and takes every service of the prefix with it (a stop
    # control with exit code 0, seen by tests as a service that stopped on its own). A
    # "wineserver -p" that races such a server finds it running and does nothing, so the
    # persistent server is started first, and checked before anything else runs.
    attempt=0
    until persistent_server; do
      attempt=$((attempt + 1))
      if [ "$attempt" -gt 5 ]; then
        echo "wine-session: no persistent wineserver for $WINEPREFIX" >&2
        exit 1
      fi
      wineserver -k </dev/null >/dev/null 2>&1
      # In the foreground of a shell of its own, which notes how it ended: a server that is gone
      # leaves every program of its session blocked for good, and its log then says whether it
      # crashed, was killed or was ended (README, "Running tests").
      setsid sh -c 'wineserver -f -p </dev/null >/dev/null 2>>"$1"
        echo "$(date -u +%Y-%m-%dT%H:%M:%SZ) wine server ended with status $?" >>"$1"' sh "$WINEPREFIX.server.log" \
        </dev/null >/dev/null 2>&1 &
      waited=0
      while [ -z "$(server_pid)" ] && [ "$waited" -lt 50 ]; do
        sleep 0.1
        waited=$((waited + 1))
      done
    done
    server_pid >"$WINEPREFIX.server.pid"
    echo "$(date -u +%Y-%m-%dT%H:%M:%SZ) session started on wine server $(cat "$WINEPREFIX.server.pid")" >>"$WINEPREFIX.server.log"
    if [ -n "${3:-}" ]; then
      WINEDEBUG=-all,+eventlog,fixme+advapi setsid "$wine" wineboot </dev/null >/dev/null 2>"$3"
    else
      setsid "$wine" wineboot </dev/null >/dev/null 2>&1
    fi
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
exit 0
