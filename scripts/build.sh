#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given).
#   scripts/build.sh [DIR]            everything: the program, the simulator,
#                                     the tests and the benchmarks
#   scripts/build.sh DIR --program    only the program and the simulator; a
#                                     folder not set up yet is configured
#                                     without tests and benchmarks, so neither
#                                     GoogleTest, Google Benchmark nor libvterm
#                                     is needed
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
if [ "${2:-}" = --program ]; then
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DSWK_BUILD_TESTS=OFF -DSWK_BUILD_BENCHMARKS=OFF >/dev/null
  fi
  cmake --build "$dir" --target swKicker swKicker-router-sim
  exit 0
fi
cmake -S . -B "$dir" -G Ninja -DSWK_BUILD_TESTS=ON -DSWK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$dir"
