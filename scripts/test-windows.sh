#!/usr/bin/env bash
# Builds the Windows program and its tests (scripts/build-windows.sh) and
# runs them under Wine: everything ctest lists in the Windows build (the
# unit tests, the Win32 console in tmux), then swKicker.exe with no console
# against the router simulator and, as root, OpenSSH's sshd
# (tests/windows_exe_test.sh), the release zip unpacked and run
# (scripts/windows-release.sh, tests/windows_release_test.sh), and in Wine's
# console in tmux
# (tests/program_wine_test.sh). The simulator is the native one, built in
# NATIVE_BUILD when missing. Wine's prefix lives
# in the Windows build folder; one wineserver stays up for the whole run, or
# every test would pay about 2 s starting one.
# usage: scripts/test-windows.sh [WINDOWS_BUILD (build-win)] [NATIVE_BUILD (build)]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build test windows
dir=${1:-build-win}
native=${2:-build}
scripts/build-windows.sh "$dir"
if [ ! -x "$native/swKicker-router-sim" ]; then
  cmake -S . -B "$native" -G Ninja >/dev/null
  cmake --build "$native" --target swKicker-router-sim
fi

source scripts/windows-env.sh
wine_up "$dir"
trap wine_down EXIT

status=0
ctest --test-dir "$dir" --output-on-failure -j2 || status=$?
bash tests/windows_exe_test.sh "$dir/swKicker.exe" "$native/swKicker-router-sim" || status=$?
# The release zip a Windows admin downloads: unpacked and run.
zip=$(scripts/windows-release.sh "$dir")
bash tests/windows_release_test.sh "$zip" "$native/swKicker-router-sim" \
    "$dir/testing/version_info.exe" || status=$?
# The same exe in a real console: Wine's console in tmux.
bash tests/program_wine_test.sh "$dir/swKicker.exe" "$native/swKicker-router-sim" \
    "$dir/testing/process_watch.exe" || status=$?
exit "$status"
