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

scripts/install-deps.sh
cmake -S . -B "$native" -G Ninja >/dev/null
cmake --build "$native" --target swKicker swKicker-router-sim >/dev/null
scripts/build-windows.sh "$win" >/dev/null

export WINEDEBUG=-all LANG=C.UTF-8
WINEPREFIX="$(cd "$win" && pwd)/wineprefix"
export WINEPREFIX
[ -e "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || true
wineserver -p || true  # one may already be up for this prefix
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$native/swKicker-router-sim" --user admin --password secret --lifetime 900 \
    >"$work/port" 2>/dev/null &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  sleep 0.1
done
port=$(head -n 1 "$work/port")

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
