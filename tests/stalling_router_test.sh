#!/usr/bin/env bash
# The answer against a router that gives it no way in (tests/stalling_router.py):
# a 1-byte channel window never adjusted, a key re-exchange started right
# after the question and never finished, and a server that stops reading the
# connection after the question. Each case checks the exit status, the lines
# shown (the reason among them) and a generous upper bound on the run's time.
# Usage: stalling_router_test.sh PATH_TO_swKicker
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"

program=$1
# Debian's paramiko is installed for the system's interpreter.
sim="/usr/bin/python3"
peer="$(dirname "${BASH_SOURCE[0]}")/stalling_router.py"
test_begin stalling-router
export TERM=dumb
unset SSH_AUTH_SOCK
own_home
trap test_end EXIT

"$sim" -c 'import paramiko' ||
  { echo "FAIL: $sim cannot import paramiko (scripts/install-deps.sh installs python3-paramiko)"; exit 1; }

# run NAME ARGS...: the program in a pseudo-terminal (see run_in_pty).
run() { run_in_pty "$1" "$program" "${@:2}"; }

# check NAME STATUS LIMIT PATTERN: status, time bound, and the lines shown
# matching PATTERN (an extended regular expression over the whole output,
# lines joined by "|").
check() {
  local name=$1 expected=$2 limit=$3 pattern=$4
  local shown before=$failures
  shown=$(paste -sd '|' "$work/$name.out")
  [ "$status" = "$expected" ] || fail "$name: exit status $status, expected $expected"
  awk -v t="$seconds" -v l="$limit" 'BEGIN { exit !(t <= l) }' ||
    fail "$name: took $seconds s, more than $limit s"
  [[ "$shown" =~ ^$pattern$ ]] || fail "$name: lines: $shown"
  [ "$failures" = "$before" ] && echo "ok: $name (status $status, $seconds s)"
  return 0
}

# peer NAME MODE: the stalling router in MODE, logging to $work/NAME.log;
# its port in $sim_port.
peer() {
  run_sim "$1" "$peer" --mode "$2" --lifetime 120 --log "$work/$1.log" ||
    { fail "$1: the peer did not start: $(cat "$work/$1.err")"; return 1; }
}

head='SWKicker v1\.0||connecting to 127\.0\.0\.1 and sending reboot command|responding .y. to question'
tail='disconnecting from 127\.0\.0\.1|done - quitting in 4 seconds'
failed='Sending the answer failed\.|Reason: the router did not take the answer in time;'

# The answer is a timeout whenever the router gives it no room: one byte
# fits a 1-byte window and the line feed never does; a stalled re-exchange
# lets none of it out. Either ends at the 20 s step bound, not the 45 s one.
cases=(
  "window-1|1 of its 2 bytes were sent\."
  "stall-rekey|none of it left\."
)
for c in "${cases[@]}"; do
  mode=${c%%|*} said=${c#*|}
  peer "$mode" "$mode" || continue
  run "$mode" /user:admin /pw:secret "/port:$sim_port" /v:y /ip:127.0.0.1
  check "$mode" 4 45 "$head|$failed $said|$tail"
done
# The window case: the peer saw the one byte that fitted, and nothing more.
grep -qx "received b'y'" "$work/window-1.log" || fail "window-1: the peer's log: $(cat "$work/window-1.log")"
# The re-exchange case: the question was followed by the server's KEXINIT.
grep -qx "kexinit sent" "$work/stall-rekey.log" || fail "stall-rekey: the peer's log: $(cat "$work/stall-rekey.log")"

# A server that stops reading the connection after the question: the two
# bytes of the answer fit the kernel's buffers, so the answer leaves
# swKicker and is accepted by the router's TCP stack, which is all an SSH
# client can know; the router never reading it cannot be told from a router
# that read it and is going down without a word. The run counts it as
# delivered (0) once the 3 s wait for the command's end is over...
peer stop-reading stop-reading &&
  run stop-reading /user:admin /pw:secret "/port:$sim_port" /v:y /ip:127.0.0.1 &&
  check stop-reading 0 20 "$head|$tail"
# ...and /wait: is what tells: the router never goes down (11).
peer stop-reading-wait stop-reading &&
  run stop-reading-wait /user:admin /pw:secret "/port:$sim_port" /v:y /ip:127.0.0.1 /wait:3 &&
  check stop-reading-wait 11 25 "$head|disconnecting from 127\.0\.0\.1|waiting up to 3 s for the router to go down and come back|The reboot was not confirmed\.|Reason: the router took the answer but did not go down within 3 s\.|done - quitting in 4 seconds"

test_exit
echo "all stalling router cases passed"
