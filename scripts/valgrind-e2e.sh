#!/usr/bin/env bash
# The reboot session and the whole program against the router simulator,
# under valgrind: the session tests with every fault row, then swKicker
# itself in a pseudo-terminal and without one, reboots that succeed and
# reboots that fail. Any invalid access or definite/indirect leak fails the
# run. The simulator runs natively; only the program's side is checked.
# The numbers test stays out: valgrind computes long double at double
# precision, so its exact-value checks would not hold.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build test hardening
source tests/test_lib.sh
dir=${1:-build-valgrind}
sim="$dir/swKicker-router-sim"

cmake -S . -B "$dir" -G Ninja -DSWK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" --target ssh_libssh_test swKicker swKicker-router-sim

work=$(mktemp -d)
export HOME="$work/home"  # the simulator's keys are nobody's known hosts
mkdir -p "$HOME"
cleanup() {
  stop_sims
  rm -rf "$work"
}
trap cleanup EXIT

readonly kValgrindError=99
vg=(valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect
    --errors-for-leak-kinds=definite,indirect --error-exitcode=$kValgrindError
    --num-callers=40)
failures=0

# check_log NAME: a valgrind log with anything in it but the notice about
# that ioctl is a finding.
check_log() {
  local found=0
  for log in "$work/vg.$1".*; do
    if grep -vE 'unhandled ioctl 0x5429|spurious value errors|README_MISSING_SYSCALL' \
        "$log" | grep -q .; then
      found=1
      echo "--- valgrind, $1 ($log):"
      head -60 "$log"
    fi
  done
  return "$found"
}

echo "== session tests under valgrind"
rc=0
"${vg[@]}" --log-file="$work/vg.session.%p" "$dir/ssh/ssh_libssh_test" \
    >"$work/session.out" 2>&1 || rc=$?
if [ "$rc" -ne 0 ]; then
  fail "session tests: exit status $rc"
  grep -E '^\[  (FAILED|  OK) |Failure|Expected|Which is' "$work/session.out" | head -40
fi
grep -E '^\[  PASSED  \]' "$work/session.out" || true
check_log session || fail "session tests: valgrind findings"

# mode_sim MODE: a simulator in that fault mode; its port goes to $sim_port.
mode_sim() {
  run_sim "sim.$1" --user admin --password secret --mode "$1" \
      --lifetime 900 --connection-seconds 60
}

# A pseudo-terminal for the program: answers the cursor question, types a
# key once the given text shows, and gives back the program's exit status.
pty_run() {
  python3 - "$@" <<'PY'
import os, pty, select, sys, time
key_after = os.environ.get("KEY_AFTER", "").encode()
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[1], sys.argv[1:])
seen, typed, deadline = b"", False, time.time() + 240
while time.time() < deadline:
    ready, _, _ = select.select([fd], [], [], 0.5)
    if not ready:
        continue
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    seen += data
    if b"\x1b[6n" in data:
        os.write(fd, b"\x1b[1;1R")
    if key_after and not typed and key_after in seen:
        os.write(fd, b"x")
        typed = True
else:
    os.kill(pid, 9)
    sys.stderr.write("no end within the limit\n")
_, status = os.waitpid(pid, 0)
sys.stdout.buffer.write(seen)
sys.exit(os.waitstatus_to_exitcode(status))
PY
}

# run NAME EXPECTED_STATUS WHERE ARGS...: swKicker under valgrind, in a
# pseudo-terminal (WHERE=pty) or with no terminal at all (WHERE=none).
run() {
  local name=$1 expected=$2 where=$3
  shift 3
  local rc=0
  local cmd=("${vg[@]}" --log-file="$work/vg.$name.%p" "$dir/swKicker" "$@")
  if [ "$where" = pty ]; then
    pty_run "${cmd[@]}" >"$work/$name.out" 2>&1 || rc=$?
  else
    setsid "${cmd[@]}" </dev/null >"$work/$name.out" 2>&1 || rc=$?
  fi
  if [ "$rc" -eq "$kValgrindError" ]; then
    fail "$name: valgrind found errors"
  elif [ "$rc" -ne "$expected" ]; then
    fail "$name: exit status $rc, expected $expected"
  fi
  check_log "$name" || fail "$name: valgrind findings"
  echo "$name: exit status $rc"
}

echo "== swKicker under valgrind"
args() { echo "/user:admin /pw:$1 /port:$2 /v:$3 /ip:127.0.0.1"; }
mode_sim normal || fail "simulator did not start"
normal=$sim_port
# shellcheck disable=SC2046
{
  KEY_AFTER="press any key" run usage 0 pty
  run usage-no-keyboard 0 none
  run verbose-reboot 0 pty $(args secret "$normal" y)
  run quiet-reboot 0 none $(args secret "$normal" n)
  run wrong-password 6 pty $(args wrong "$normal" y)
  closed=$(free_port)
  run refused 3 none $(args secret "$closed" y)
  for mode in close-before-asking eof-before-asking fail-after-answer long-line drip \
      hang-after-answer; do
    mode_sim "$mode" || fail "simulator ($mode) did not start"
    case $mode in
      close-before-asking | eof-before-asking) expected=7 ;;
      fail-after-answer) expected=8 ;;
      *) expected=0 ;;
    esac
    run "$mode" "$expected" none $(args secret "$sim_port" y)
  done
}
grep -q "done - quitting in 4 seconds" "$work/verbose-reboot.out" ||
  fail "verbose-reboot: no closing line on the terminal"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "valgrind: no invalid accesses and no leaks"
