#!/usr/bin/env bash
# Builds the Windows program and its tests (scripts/build-windows.sh) and
# runs them under Wine: the unit tests through ctest, then swKicker.exe
# itself against the router simulator and, as root, OpenSSH's sshd
# (tests/windows_exe_test.sh). Wine's prefix lives in the build folder; one
# wineserver stays up for the whole run, or every test would pay about 2 s
# starting one.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
scripts/build-windows.sh "$dir"

export WINEDEBUG=-all LANG=C.UTF-8
WINEPREFIX="$(cd "$dir" && pwd)/wineprefix"
export WINEPREFIX
if [ ! -e "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix in $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
fi
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT

status=0
ctest --test-dir "$dir" --output-on-failure -j2 || status=$?
bash tests/windows_exe_test.sh "$dir/swKicker.exe" || status=$?
exit "$status"
