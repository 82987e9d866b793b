#!/usr/bin/env bash
# Builds and runs the bitrate benchmark twice in a network namespace of its own (root): with
# the bitrate control off (STREAMCORE_FIXED_BITRATE=1, the publisher only drops stale video at
# key frames) and on, and prints both sets of figures.
# Usage: bench/bitrate/run.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target bitrate_bench >/dev/null
ns=scbitrate$$
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
ip netns exec "$ns" env STREAMCORE_FIXED_BITRATE=1 "$build/bin/bitrate_bench" "controller off"
ip netns exec "$ns" env STREAMCORE_FIXED_BITRATE=0 "$build/bin/bitrate_bench" "controller on"
