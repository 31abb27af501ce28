#!/usr/bin/env bash
# Builds every fuzzer with clang, ASan and UBSan, and runs each for SECONDS
# (default 20) on a scratch copy of its seed corpus in fuzz/corpus/, so the
# corpus in the repository only grows by inputs put there on purpose.
# Prints executions per second and the coverage reached per target; exits
# non-zero when any target finds a fault (the input is kept under
# BUILD/findings/).
#
#   fuzz/run.sh [SECONDS]          FUZZ_JOBS=2 runs two targets at a time
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build hardening

seconds=${1:-20}
jobs=${FUZZ_JOBS:-1}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(command_line_fuzzer numbers_fuzzer key_decoder_fuzzer console_fuzzer
         line_assembler_fuzzer known_hosts_fuzzer ssh_config_fuzzer fleet_list_fuzzer
         server_offer_fuzzer)

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$build/findings"
mkdir -p "$findings"

run_target() {
  local t=$1
  mkdir -p "$work/$t"
  cp fuzz/corpus/"$t"/* "$work/$t"/
  local rc=0
  # -timeout: one input running longer than this is a hang, a finding too.
  "$build/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$findings/$t-" "$work/$t" \
      >"$work/$t.log" 2>&1 || rc=$?
  echo "$rc" >"$work/$t.rc"
}

running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait

status=0
printf '%-24s %8s %12s %10s %6s %7s %7s  %s\n' \
    target seconds executions exec/s cov ft corpus result
for t in "${targets[@]}"; do
  log="$work/$t.log"
  rc=$(cat "$work/$t.rc")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  # The last status line holds the coverage reached.
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(find "$work/$t" -type f | wc -l)
  result=ok
  if [ "$rc" -ne 0 ]; then
    result="FINDING (exit $rc)"
    status=1
  fi
  printf '%-24s %8s %12s %10s %6s %7s %7s  %s\n' "$t" "$seconds" "${execs:--}" \
      "${rate:--}" "${cov:--}" "${ft:--}" "$corpus" "$result"
done
for t in "${targets[@]}"; do
  if [ "$(cat "$work/$t.rc")" -ne 0 ]; then
    echo "--- $t:"
    grep -E 'invariant broken|ERROR|SUMMARY|runtime error|Test unit written' \
        "$work/$t.log" | head -20
  fi
done
exit "$status"
