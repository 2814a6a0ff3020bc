#!/bin/sh
# Sets up, builds the agent and its companion (nothing else), and runs the agent in console
# mode under Wine, with its storage directory inside the build tree (Ctrl+C stops it). Extra
# arguments replace "--console".
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" ostrival_guardian ostrival_sentinel
mkdir -p "$top/build/storage"
if [ -z "${OV_STORAGE_DIR:-}" ]; then
  OV_STORAGE_DIR=$(printf 'Z:%s' "$top/build/storage" | tr / '\\')
fi
export OV_STORAGE_DIR
if [ $# -eq 0 ]; then set -- --console; fi
exec "$top/build/wine-run" "$top/build/bin/ostrival_guardian.exe" "$@"
