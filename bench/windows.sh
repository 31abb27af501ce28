#!/usr/bin/env bash
# Figures for the Windows build: the size of swKicker.exe, and a whole
# quiet reboot conversation with the router simulator on loopback, run by
# swKicker.exe under Wine beside the native swKicker (median wall times over
# RUNS runs, 20 by default). Wine's own start is shown apart: the exe with no
# options and no console ends at once. Figures only; nothing here fails
# because something is slow.
# usage: bench/windows.sh [NATIVE_BUILD (build)] [WINDOWS_BUILD (build-win)]
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
win=${2:-build-win}
runs=${RUNS:-20}

scripts/install-deps.sh build test windows
cmake -S . -B "$native" -G Ninja >/dev/null
cmake --build "$native" --target swKicker swKicker-router-sim >/dev/null
scripts/build-windows.sh "$win" >/dev/null

source scripts/windows-env.sh
source tests/test_lib.sh
wine_up "$win"
work=$(mktemp -d)
cleanup() {
  stop_sims
  wine_down
  rm -rf "$work"
}
trap cleanup EXIT

sim="$native/swKicker-router-sim"
run_sim router --user admin --password secret --lifetime 900 ||
  { echo "the simulator did not start" >&2; exit 1; }
port=$sim_port

size=$(stat -c %s "$win/swKicker.exe")
echo "== swKicker.exe =="
printf '  %-44s %10s bytes (%s KiB; goal under 1 MB)\n' "size, static and stripped" \
    "$size" "$((size / 1024))"
echo

# median_ms COMMAND...: the median wall time of RUNS runs, with no terminal;
# any run that does not end with status 0 stops the script.
median_ms() {
  python3 - "$runs" "$@" <<'PY'
import statistics, subprocess, sys, time
runs, cmd = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    start = time.perf_counter()
    subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, start_new_session=True)
    times.append((time.perf_counter() - start) * 1000)
print(f"{statistics.median(times):.1f}")
PY
}

args=(/user:admin /pw:secret "/port:$port" /v:n /ip:127.0.0.1)
echo "== Quiet reboot of the simulator, median of $runs runs (ms) =="
native_ms=$(median_ms "$native/swKicker" "${args[@]}")
wine_ms=$(median_ms wine "$win/swKicker.exe" "${args[@]}")
start_ms=$(median_ms wine "$win/swKicker.exe")
printf '  %-44s %10s\n' "native swKicker" "$native_ms"
printf '  %-44s %10s\n' "swKicker.exe under Wine" "$wine_ms"
printf '  %-44s %10s\n' "  of which Wine start and usage run" "$start_ms"
printf '  %-44s %10s\n' "ratio Wine / native" \
    "$(python3 -c "print(f'{$wine_ms / $native_ms:.2f}')")"
