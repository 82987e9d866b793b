#!/usr/bin/env bash
# Builds the addon and the probe, then runs the lip-sync benchmark (lipsync.js): A/V offsets
# and flash-to-server delays of the addon's server copy and local recording against FFmpeg,
# plain and with the server started after the publisher.
# Usage: bench/lipsync/run.sh [build-dir] [flashes]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" 2>/dev/null && pwd || echo "${1:-$root/build}")
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target lipsync_probe streamAddon MediaTap >/dev/null
export STREAMCORE_BUILD="$build"
exec node "$root/bench/lipsync/lipsync.js" "$build/bin/lipsync_probe" "${2:-8}"
