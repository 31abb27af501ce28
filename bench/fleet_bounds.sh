#!/usr/bin/env bash
# What the safe-run bounds cost: ROUTERS simulated routers that reboot (each
# goes down 0.3 s after the answer for DOWN_MS), run with /jobs:64 /wait:60
# without a bound, with /down:32, with /down:32 and groups of a hundred,
# and as a preflight (/check:y). For each: wall time, the most threads the
# process had at once (sampled from /proc every 20 ms), its peak memory
# (getrusage of the child), and from the routers' own logs the most of them
# down at once. With BASELINE (another build's swKicker, one that predates
# the bounds) the unbounded run is measured for it too, in the same way.
# Figures only: nothing here fails because something is slow.
#
# usage: bench/fleet_bounds.sh [BUILD_FOLDER] (default build-bench)
#   ROUTERS=1000  DOWN_MS=1000  REPEAT=3 (the median of each cell)
#   BASELINE=path/to/an/older/swKicker
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/test_lib.sh
build=${1:-build-bench}
routers=${ROUTERS:-1000}
down_ms=${DOWN_MS:-1000}
repeat=${REPEAT:-3}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target swKicker swKicker-router-sim >/dev/null
swkicker=$(realpath "$build/swKicker")
sim=$(realpath "$build/swKicker-router-sim")

work=$(mktemp -d)
sim_pids=()
trap 'stop_sims; rm -rf "$work"' EXIT
export HOME="$work/home"
mkdir -p "$HOME/.ssh"
chmod 700 "$HOME/.ssh"
ulimit -n "$(ulimit -Hn)"

# The simulator serves one rebooting router per process; they share one
# host key, made once.
# Every router is listed in known_hosts beforehand, as on a fleet met
# before: the runs measure the schedule, not the recording of new keys.
key_text=$("$sim" --host-key "$work/key" --print-public-key | awk '{ print $(NF-1), $NF }')
# start_routers: ROUTERS fresh routers, logs $work/r/N.log, ports $work/r/N.port.
start_routers() {
  local i
  rm -rf "$work/r"
  mkdir "$work/r"
  sim_pids=()
  for i in $(seq "$routers"); do
    "$sim" --user admin --password secret --lifetime 900 --host-key "$work/key" \
      --log "$work/r/$i.log" --reboot-delay-ms 300 --reboot-down-ms "$down_ms" \
      >"$work/r/$i.port" 2>/dev/null &
    sim_pids+=($!)
  done
  for i in $(seq "$routers"); do
    for _ in $(seq 300); do [ -s "$work/r/$i.port" ] && break; sleep 0.1; done
    [ -s "$work/r/$i.port" ] || { echo "router $i did not start" >&2; exit 1; }
  done
}

# measure NAME PROGRAM ARGS...: runs one fleet on fresh routers; prints
# "seconds threads peak_kib most_down" for it.
measure() {
  local name=$1 program=$2
  shift 2
  start_routers
  local lines=() i p
  : >"$HOME/.ssh/known_hosts"
  for i in $(seq "$routers"); do
    p=$(head -n 1 "$work/r/$i.port")
    echo "[127.0.0.1]:$p $key_text" >>"$HOME/.ssh/known_hosts"
    lines+=("/user:admin /pw:secret /port:$p /ip:127.0.0.1")
    if [ -n "${GROUP:-}" ] && [ $((i % GROUP)) = 0 ] && [ "$i" -lt "$routers" ]; then
      lines+=("---")
    fi
  done
  printf '%s\n' "${lines[@]}" >"$work/fleet.list"
  chmod 600 "$work/fleet.list"
  local start end status=0
  start=$(date +%s.%N)
  python3 - "$program" "/list:$work/fleet.list" /v:n "/report:$work/report.csv" "$@" \
    >"$work/measure.out" <<'PY' || status=$?
import os, resource, subprocess, sys, time
child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
most = 0
while child.poll() is None:
    try:
        with open(f"/proc/{child.pid}/status") as status:
            for line in status:
                if line.startswith("Threads:"):
                    most = max(most, int(line.split()[1]))
    except OSError:
        pass
    time.sleep(0.02)
print(most, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
sys.exit(child.returncode)
PY
  end=$(date +%s.%N)
  stop_sims
  wait "${sim_pids[@]}" 2>/dev/null || true
  if [ "$status" != 0 ]; then
    echo "$name: exit status $status; the rows that did not end with 0:" >&2
    tr -d '\r' <"$work/report.csv" | awk -F, 'NR > 1 && $5 != 0' | head -n 20 >&2
    exit 1
  fi
  local down
  down=$(cat "$work"/r/*.log | sed -n 's/^{"event":"down","ms":\([0-9]*\)}$/\1 1/p; s/^{"event":"back","ms":\([0-9]*\)}$/\1 0/p' |
    sort -n -k1,1 -k2,2 | awk '{ n += ($2 == 1) ? 1 : -1; if (n > m) m = n } END { print m + 0 }')
  echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }') $(cat "$work/measure.out") $down"
}

# median_row LABEL NAME PROGRAM ARGS...: REPEAT runs, each figure's median.
median_row() {
  local label=$1
  shift
  local runs=() k
  for k in $(seq "$repeat"); do runs+=("$(measure "$@")"); done
  printf '%s\n' "${runs[@]}" | awk -v label="$label" '
    { for (i = 1; i <= 4; i++) v[i, NR] = $i }
    END {
      n = NR
      for (i = 1; i <= 4; i++) {
        for (a = 1; a <= n; a++) for (b = a + 1; b <= n; b++)
          if (v[i, b] < v[i, a]) { t = v[i, a]; v[i, a] = v[i, b]; v[i, b] = t }
        m[i] = v[i, int((n + 1) / 2)]
      }
      printf "| %s | %s | %s | %s | %s |\n", label, m[1], m[2], m[3], m[4]
    }'
}

echo "$routers simulated routers, each down ${down_ms} ms after the answer; /jobs:64 /wait:60;"
echo "medians of $repeat runs"
echo
echo "| run | seconds | most threads | peak KiB | most routers down |"
echo "|---|---|---|---|---|"
if [ -n "${BASELINE:-}" ]; then
  median_row "baseline, no bound" base "$(realpath "$BASELINE")" /jobs:64 /wait:60
fi
median_row "no bound" plain "$swkicker" /jobs:64 /wait:60
median_row "/down:32" down "$swkicker" /jobs:64 /wait:60 /down:32
GROUP=100 median_row "/down:32, groups of 100" groups "$swkicker" /jobs:64 /wait:60 /down:32
median_row "/check:y" check "$swkicker" /jobs:64 /check:y
