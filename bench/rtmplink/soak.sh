#!/usr/bin/env bash
# Builds and runs the soak: five minutes of publishing while nginx is killed and restarted every
# 5 to 8 s (down 0 to 2 s). Usage: bench/rtmplink/soak.sh [build-dir] [--seconds N]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target rtmplink_soak >/dev/null
exec "$build/bin/rtmplink_soak" "$@"
