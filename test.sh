#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build test windows hardening package
scripts/build.sh build
ctest --test-dir build --output-on-failure -j2
# The Windows program, cross-built, and its tests under Wine.
scripts/test-windows.sh build-win build
# The same tests under ASan and UBSan, the session and the program under
# valgrind, and every fuzzer for 20 seconds (two at a time).
scripts/sanitize.sh build-asan
scripts/valgrind-e2e.sh build-valgrind
FUZZ_JOBS=2 fuzz/run.sh 20
