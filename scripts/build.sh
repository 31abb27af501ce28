#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
cmake -S . -B "$dir" -G Ninja >/dev/null
cmake --build "$dir"
