#!/bin/sh
# Sets up, builds, and runs the agent in console mode under Wine, with its storage directory
# inside the build tree (Ctrl+C stops it). Extra arguments replace "--console".
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
export OV_STORAGE_DIR="${OV_STORAGE_DIR:-Z:$top/build/storage}"
mkdir -p "$top/build/storage"
if [ $# -eq 0 ]; then set -- --console; fi
exec "$top/build/wine-run" "$top/build/bin/ostrival_guardian.exe" "$@"
