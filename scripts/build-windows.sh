#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64 into build-win/ (or the
# folder given): build-win/swKicker.exe, one static, stripped exe that needs
# only the DLLs every Windows has. The tests are built beside it, to be run
# under Wine by scripts/test-windows.sh. Building needs no Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
source scripts/windows-env.sh
scripts/windows-deps.sh
mkdir -p "$dir"
wineprefix="$(cd "$dir" && pwd)/wineprefix"
# Tests run through Wine with a prefix of their own inside the build folder;
# LANG=C.UTF-8 keeps non-ASCII text from turning into '?'.
emulator="env;WINEDEBUG=-all;WINEPREFIX=$wineprefix;LANG=C.UTF-8;$PWD/scripts/wine-run.sh"
cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/windows-x86_64.cmake" \
    -DSWK_WIN_DEPS="$win_cache/prefix" \
    -DCMAKE_BUILD_TYPE=Release \
    -DSWK_BUILD_BENCHMARKS=OFF \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" >/dev/null
cmake --build "$dir"
