#!/usr/bin/env bash
# Measures swKicker on this machine and prints the figures:
#   1. the whole reboot conversation, swKicker against ssh + sshpass side by
#      side: against the router simulator, the simulator with Nagle on, and
#      as root OpenSSH's sshd and dropbear with a forced command asking
#      without a line feed; median wall times and their ratio per server, peak
#      memory;
#   2. question-to-answer latency: line-fed, a prompt without a line feed,
#      other text without one (the idle rule), on the simulator and the real
#      servers;
#   3. write() calls per printed line in a real pseudo-terminal, and the
#      console's WriteText and PrintLine in memory and on a pty;
#   4. TextToNumber, CommandParam and StripPrefix.
# Figures only: nothing here fails because something is slow. A run that goes
# wrong (a failed reboot, output in quiet mode) stops the script.
#
# usage: bench/run.sh [BUILD_FOLDER] (default build-bench); RUNS=20 by default;
# SWKICKER=path measures another swKicker binary (an older build, say).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${RUNS:-20}
lines=200

scripts/install-deps.sh build test
cmake -S . -B "$build" -G Ninja -DSWK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target swKicker swKicker-router-sim numbers_benchmark \
  command_line_benchmark console_memory_benchmark console_pty_benchmark print_lines >/dev/null

echo "== 1, 2. Reboot conversation on loopback =="
python3 bench/conversation.py --build "$build" --runs "$runs" ${SWKICKER:+--swkicker "$SWKICKER"}
echo

echo "== 3. Console =="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Counts the write() calls of print_lines N LENGTH run in a pseudo-terminal
# that answers the cursor question the way a terminal emulator does, so the
# full-screen path is measured and not the plain lines of a silent terminal.
count_writes() {
  TERM=xterm python3 - "$work/trace" "$build/bench/print_lines" "$1" "$2" <<'PY'
import os, pty, sys
trace, prog, n, length = sys.argv[1:]
pid, fd = pty.fork()
if pid == 0:
    os.execvp("strace", ["strace", "-f", "-e", "trace=write", "-o", trace, prog, n, length])
seen = b""
while True:
    try:
        data = os.read(fd, 65536)
    except OSError:
        break
    if not data:
        break
    seen = (seen + data)[-8:]
    if b"\x1b[6n" in seen:
        os.write(fd, b"\x1b[1;1R")
        seen = b""
os.waitpid(pid, 0)
PY
  grep -c '^[0-9]* *write(' "$work/trace" || true
}
# The first line also asks for the cursor; a one-line run is the base, so
# the difference is what each further line costs.
base=$(count_writes 1 30)
printf '  %-44s %10s  %s\n' "" "writes" "target"
for length in 30 200; do
  total=$(count_writes $((lines + 1)) "$length")
  per=$(python3 -c "print(f'{($total - $base) / $lines:.2f}')")
  verdict=$(python3 -c "print('1 met' if ($total - $base) == $lines else '1 MISSED')")
  printf '  %-44s %10s  %s\n' "per PrintLine, $lines lines of $length characters" "$per" "$verdict"
done
echo
echo "  In-memory screen:"
"$build/bench/console_memory_benchmark" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^BM_/p;/^Benchmark/p'
echo "  Pseudo-terminal (real terminal code, output drained by a thread):"
"$build/bench/console_pty_benchmark" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^BM_/p;/^Benchmark/p'
echo

echo "== 4. Numbers and parameters =="
"$build/base/numbers_benchmark" --benchmark_filter=TextToNumber --benchmark_min_time=0.2 2>/dev/null |
  sed -n '/^BM_/p;/^Benchmark/p'
"$build/bench/command_line_benchmark" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^BM_/p'
