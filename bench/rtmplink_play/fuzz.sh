#!/usr/bin/env bash
# Runs the player's fuzz target for a fixed number of inputs.
#   bench/rtmplink_play/fuzz.sh [RUNS]     (default 500000)
# With clang's libFuzzer (clang++ -fsanitize=fuzzer) the target is built with ASan and UBSan
# and run over a scratch copy of rtmplink/fuzz/corpus (the seeds in the tree stay as they
# are). Without clang it falls back to the replay driver built by CMake
# (build/bin/rtmplink_play_fuzz), which should come from a -DSANITIZE=address,undefined build.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-500000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/rtmplink/fuzz/corpus" "$work/corpus"
if command -v clang++ >/dev/null && clang++ -fsanitize=fuzzer -x c++ -o "$work/probe" - <<<'
#include <cstdint>
#include <cstddef>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' 2>/dev/null; then
  clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/rtmplink/src" "$root/rtmplink/fuzz/play_fuzz.cpp" "$root/rtmplink/src/play_packets.cpp" \
    -o "$work/play_fuzz"
  start=$(date +%s.%N)
  "$work/play_fuzz" -runs="$runs" -max_len=4096 -print_final_stats=1 "$work/corpus" 2>"$work/log" || {
    tail -40 "$work/log"; echo "play_fuzz: FAILED"; exit 1; }
  end=$(date +%s.%N)
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb|cov:" "$work/log" | tail -3
  echo "play_fuzz (libFuzzer, ASan+UBSan): $runs inputs, no crash, $(echo "$end - $start" | bc) s," \
    "corpus $(ls "$root/rtmplink/fuzz/corpus" | wc -l) seeds -> $(ls "$work/corpus" | wc -l) entries"
else
  driver="$root/build-address-undefined/bin/rtmplink_play_fuzz"
  [ -x "$driver" ] || driver="$root/build/bin/rtmplink_play_fuzz"
  "$driver" -runs="$runs" "$work/corpus"
fi
