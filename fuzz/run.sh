#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# the given number of seconds, starting from its committed regression inputs.
set -euo pipefail
seconds=${1:-300}
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKALVEX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"
for bin in build-fuzz/fuzz/fuzz_*; do
  # Only the programs: automoc leaves fuzz_*_autogen folders beside them.
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus=fuzz/corpus/${name#fuzz_}
  work=build-fuzz/corpus-${name#fuzz_}
  mkdir -p "$work"
  echo "== $name for ${seconds}s"
  args=("$work")
  [ -d "$corpus" ] && args+=("$corpus")
  "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "${args[@]}" 2>&1 | tail -n 12
done
