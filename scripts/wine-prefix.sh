#!/bin/sh
# Makes a Wine prefix for the project's programs, unless it exists: 64-bit, reporting Windows 10
# as the machines the agent runs on do, with everything its first boot started ended.
# Usage: wine-prefix.sh PREFIX [TEMPLATE]
# With TEMPLATE, the first boot happens once, into TEMPLATE (under a lock, when several lanes
# ask at once), and PREFIX is a copy of it: a second, where a first boot takes 15 or more.
# A prefix holds no path of its own, but its "wineserver" file names that prefix's server
# objects, so a copy drops it and gets a new one from its first program.
set -u
prefix=${1:?prefix}
template=${2:-}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/wine-loader.sh"

first_boot() {  # first_boot DIR
  mkdir -p "$1"
  WINEPREFIX=$1 WINEARCH=win64 "$wine" wineboot -i </dev/null >/dev/null 2>&1
  # Let the first boot finish everything it started (the SCM holds its database while it sets
  # up the new prefix's services) before anything else runs.
  WINEPREFIX=$1 wineserver -w </dev/null >/dev/null 2>&1
  # "/v" sets the reported version without a window.
  WINEPREFIX=$1 "$wine" winecfg /v win10 </dev/null >/dev/null 2>&1
  WINEPREFIX=$1 wineserver -w </dev/null >/dev/null 2>&1
}

# The 32-bit part of a prefix (its syswow64 folder) exists only when the 32-bit Wine was there
# when the prefix was made: a prefix made before it was installed is brought up to date.
needs_32bit() {  # needs_32bit DIR
  [ -d /usr/lib/i386-linux-gnu/wine ] && [ -f "$1/system.reg" ] && [ ! -f "$1/drive_c/windows/syswow64/kernel32.dll" ]
}
update_32bit() {  # update_32bit DIR
  (
    flock 9
    if needs_32bit "$1"; then
      WINEPREFIX=$1 "$wine" wineboot -u </dev/null >/dev/null 2>&1
      WINEPREFIX=$1 wineserver -w </dev/null >/dev/null 2>&1
    fi
  ) 9>"$1.lock"
}
if [ -f "$prefix/system.reg" ]; then
  needs_32bit "$prefix" && update_32bit "$prefix"
  exit 0
fi
# Something else in the prefix's place (a half-made prefix, a user's folder): booted in place,
# never removed.
if [ -z "$template" ] || { [ -e "$prefix" ] && [ -n "$(ls -A "$prefix" 2>/dev/null)" ]; }; then
  first_boot "$prefix"
  exit 0
fi
mkdir -p "$(dirname "$template")" "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$template/system.reg" ]; then
    rm -rf "$template.new"
    first_boot "$template.new"
    mv "$template.new" "$template"
  fi
) 9>"$template.lock"
needs_32bit "$template" && update_32bit "$template"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    rm -rf "$prefix.new"
    cp -a "$template" "$prefix.new"
    rm -f "$prefix.new/wineserver"
    rmdir "$prefix" 2>/dev/null
    mv "$prefix.new" "$prefix"
  fi
) 9>"$prefix.lock"
