#!/usr/bin/env bash
# Builds and runs the publishing benchmark: 60 s of 1280x720 30 fps H.264 at 4 Mbit/s with AAC,
# looped ten times, published to a local nginx through RtmpPublish and with ffmpeg -c copy,
# five runs each (median and spread printed), then at real-time pace for the send delay.
# Usage: bench/rtmplink/run.sh [build-dir] [program options: --runs N --loops N ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target rtmplink_bench >/dev/null
exec "$build/bin/rtmplink_bench" "$@"
