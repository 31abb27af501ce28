#!/usr/bin/env bash
# Builds the Windows release zip for a Windows admin:
#   WINDOWS_BUILD/swKicker-VERSION-windows-x86_64.zip
# holding swKicker.exe (with its version resource and manifest), README.md,
# LICENSE.txt and examples/ (a Task Scheduler task for a nightly fleet, a
# router list). Text files get Windows line ends; the task is UTF-16, as
# schtasks /XML reads it. Prints the zip's path.
# usage: scripts/windows-release.sh [WINDOWS_BUILD (build-win)]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
if [ -f "$dir/CMakeCache.txt" ]; then
  cmake --build "$dir" --target swKicker >/dev/null
else
  scripts/build-windows.sh "$dir" >/dev/null
fi
version=$(sed -n 's/^project(swKicker VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="swKicker-$version-windows-x86_64"
stage="$dir/release/$name"
rm -rf "$dir/release" "$dir/$name.zip"
mkdir -p "$stage/examples"
cp "$dir/swKicker.exe" "$stage/"
python3 - "$stage" <<'PY'
import sys, pathlib
stage = pathlib.Path(sys.argv[1])
def crlf(source, target, encoding="utf-8"):
    text = pathlib.Path(source).read_text(encoding="utf-8").replace("\r\n", "\n")
    data = text.replace("\n", "\r\n")
    if encoding == "utf-16":
        (stage / target).write_bytes(b"\xff\xfe" + data.encode("utf-16-le"))
    else:
        (stage / target).write_bytes(data.encode("utf-8"))
crlf("README.md", "README.md")
crlf("packaging/copyright", "LICENSE.txt")
crlf("doc/examples/swkicker-fleet-task.xml", "examples/swkicker-fleet-task.xml", "utf-16")
crlf("doc/examples/routers-example.txt", "examples/routers-example.txt")
PY
(cd "$dir/release" && python3 -m zipfile -c "../$name.zip" "$name")
echo "$dir/$name.zip"
