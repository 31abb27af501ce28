#!/usr/bin/env bash
# Builds the Debian package with CPack: BUILD/swkicker_<version>_<arch>.deb
# (BUILD is build/ unless given). Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
# A folder already set up is only brought up to date, not configured again.
if [ -f "$dir/build.ninja" ]; then
  cmake --build "$dir" >/dev/null
else
  scripts/build.sh "$dir" >/dev/null
fi
rm -f "$dir"/swkicker_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log" >&2; exit 1; }
deb=$(ls "$dir"/swkicker_*.deb)
echo "$deb"
