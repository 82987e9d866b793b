#!/usr/bin/env bash
# The narrow uplink, with figures: 60 s of 2.5 Mbit/s through a token bucket at 60 % of it in a
# network namespace, once through RtmpPublish and once with ffmpeg -re -c copy; prints the delay
# at 10, 30 and 60 s, the kernel's Send-Q and the frames given and delivered for each (root).
# Usage: bench/rtmplink/narrow.sh [build-dir] [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
seconds=${2:-60}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target rtmplink_narrow_test >/dev/null
RTMPLINK_NARROW_SECONDS=$seconds RTMPLINK_NARROW_FFMPEG=1 "$build/bin/rtmplink_narrow_test" |
  grep -E '^(stream|RtmpPublish|ffmpeg)'
