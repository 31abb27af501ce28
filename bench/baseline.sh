#!/usr/bin/env bash
# The whole reboot conversation, this working tree against a baseline
# revision, side by side in one run against the same routers: the router
# simulator, a paramiko router and the simulator with Nagle on, and as root
# OpenSSH's sshd and dropbear (bench/conversation.py --baseline). Prints for
# each server the median wall times of the baseline, this tree and
# ssh + sshpass, the ratio change/baseline and both against ssh; then peak
# memory and the question-to-answer latency of both. Figures only: nothing
# here fails because something is slow. A run that goes wrong stops it.
#
# usage: bench/baseline.sh [REVISION] [BUILD_FOLDER]
#   REVISION      default: the commit named in bench/baseline-commit
#   BUILD_FOLDER  this tree's build (default build-bench); the baseline is
#                 built from the revision's own files in BUILD_FOLDER-baseline-SHORT
#                 beside it, and kept for the next run
#   RUNS=15       alternating runs per server
set -euo pipefail
cd "$(dirname "$0")/.."
revision=${1:-$(grep -v '^#' bench/baseline-commit | head -n 1)}
build=${2:-build-bench}
runs=${RUNS:-15}

commit=$(git rev-parse --verify --quiet "$revision^{commit}") ||
  { echo "baseline.sh: no commit '$revision' in this repository" >&2; exit 2; }
short=$(git rev-parse --short "$commit")
scratch="$build-baseline-$short"

scripts/install-deps.sh build test
if [ ! -x "$scratch/build/swKicker" ]; then
  echo "Building the baseline $short in $scratch ..."
  rm -rf "$scratch"
  mkdir -p "$scratch/src"
  git archive "$commit" | tar -x -C "$scratch/src"
  cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DSWK_BUILD_TESTS=OFF \
    -DSWK_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$scratch/build" --target swKicker >/dev/null
fi
cmake -S . -B "$build" -G Ninja -DSWK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target swKicker swKicker-router-sim >/dev/null

head=$(git rev-parse --short HEAD)
dirty=$(git status --porcelain --untracked-files=no | grep -q . && echo " with changes" || true)
echo "== This tree ($head$dirty) against the baseline $short =="
echo "   machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
python3 bench/conversation.py --build "$build" --runs "$runs" \
  --baseline "$scratch/build/swKicker" \
  --baseline-name "$short $(git log -1 --format=%s "$commit" | cut -c1-60)"
