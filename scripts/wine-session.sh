#!/bin/sh
# Starts or stops the Wine session of a prefix, detached from the caller's output, so that
# the Wine server and the service processes it starts never hold a test runner's pipes.
# Usage: wine-session.sh start|stop PREFIX [DEBUG_FILE]
# With DEBUG_FILE, the session boots with the Event Log's debug channels on, and the output of
# the programs it starts (the SCM and the services) goes to that file: Wine's ReportEventW
# prints each entry's type, ID and strings there.
set -u
action=${1:?start or stop}
WINEPREFIX=${2:?prefix}
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      WINEARCH=win64 wineboot -i </dev/null >/dev/null 2>&1
      # Let the first boot finish everything it started (the SCM holds its database while
      # it sets up the new prefix's services) before the session begins.
      wineserver -w </dev/null >/dev/null 2>&1
      # Report Windows 10, as the machines the agent runs on do ("/v" sets it, no window).
      wine winecfg /v win10 </dev/null >/dev/null 2>&1
      wineserver -w </dev/null >/dev/null 2>&1
    fi
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    if [ -n "${3:-}" ]; then
      WINEDEBUG=-all,+eventlog,fixme+advapi setsid wine wineboot </dev/null >/dev/null 2>"$3"
    else
      setsid wine wineboot </dev/null >/dev/null 2>&1
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
