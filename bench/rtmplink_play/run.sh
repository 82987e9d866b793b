#!/usr/bin/env bash
# Builds and runs the player benchmark, then the fuzz run.
# Usage: bench/rtmplink_play/run.sh [build-dir] [program options]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target rtmplink_play_bench rtmplink_play_fuzz >/dev/null
"$build/bin/rtmplink_play_bench" "$@"
echo
"$root/bench/rtmplink_play/fuzz.sh"
