#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehavior-
# Sanitizer into build-asan/ (or the folder given) and runs it. Programs the
# tests start (children, the console driver, the router simulator) carry the
# sanitizers too; every report from any process goes to a log file, and one
# report anywhere fails the run, even from a child whose exit status a test
# does not look at.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build test hardening package
dir=${1:-build-asan}

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DSWK_BUILD_BENCHMARKS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$dir"

reports="$PWD/$dir/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
# Leak checking works here (LeakSanitizer needs to stop the process's threads,
# which it can as root and in an ordinary container).
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="log_path=$reports/lsan"

status=0
ctest --test-dir "$dir" --output-on-failure -j2 -E '^(console_tmux|unattended)$' || status=$?
# These run the program under strace (console_tmux counts the console's
# writes, unattended looks for pauses), and LeakSanitizer cannot work in a
# traced process; the same code is leak-checked by the console_e2e tests and
# the other end-to-end runs.
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
    ctest --test-dir "$dir" --output-on-failure -R '^(console_tmux|unattended)$' || status=$?
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:"
  for report in "$reports"/*; do
    echo "--- $report"
    head -40 "$report"
  done
  status=1
fi
exit "$status"
