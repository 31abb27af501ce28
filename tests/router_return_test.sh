#!/usr/bin/env bash
# /wait:SECONDS end to end: the real program in a pseudo-terminal (script,
# TERM=dumb for plain lines) against the router simulator rebooting in each
# way a router can, and, as root, against OpenSSH's sshd stopped once its
# forced command has the answer and started again on the same port, alone
# and in a fleet run beside a rebooting simulator. Each
# case checks the exit status, the lines shown and a generous upper bound on
# the run's time.
# Usage: router_return_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"

program=$1
sim=$2
test_begin router-return
export TERM=dumb
unset SSH_AUTH_SOCK
own_home
user=
cleanup() {
  stop_sshd
  [ -n "$user" ] && userdel "$user" 2>/dev/null
  test_end
}
# stop_sshd: ends the sshd of the test, whichever start of it is running
# (its pid file says).
stop_sshd() {
  local pid
  pid=$(cat "$work/sshd/sshd.pid" 2>/dev/null || true)
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$work/sshd/sshd.pid"
}
trap cleanup EXIT

# run NAME ARGS...: the program in a pseudo-terminal (see run_in_pty).
run() { run_in_pty "$1" "$program" "${@:2}"; }

# within LIMIT: the run took at most LIMIT seconds.
within() { awk -v t="$seconds" -v l="$1" 'BEGIN { exit !(t <= l) }'; }

# sim_event NAME EVENT: the wall-clock ms at which simulator NAME logged EVENT.
sim_event() { sed -n "s/^{\"event\":\"$2\",\"ms\":\([0-9]*\)}$/\1/p" "$work/$1.log" | head -n 1; }

# check NAME STATUS LIMIT PATTERN: status, time bound, and the lines shown
# matching PATTERN (an extended regular expression over the whole output,
# lines joined by "|").
check() {
  local name=$1 expected=$2 limit=$3 pattern=$4
  local shown before=$failures
  shown=$(paste -sd '|' "$work/$name.out")
  [ "$status" = "$expected" ] || fail "$name: exit status $status, expected $expected"
  within "$limit" || fail "$name: took $seconds s, more than $limit s"
  [[ "$shown" =~ ^$pattern$ ]] || fail "$name: lines: $shown"
  [ "$failures" = "$before" ] && echo "ok: $name (status $status, $seconds s)"
  return 0
}

args() { echo /user:admin /pw:secret "/port:$1" "/v:$2" /ip:127.0.0.1; }
verbose_head='SWKicker v1\.0||connecting to 127\.0\.0\.1 and sending reboot command|responding .y. to question|disconnecting from 127\.0\.0\.1'
num='[0-9]+\.[0-9]'

# reboot_sim NAME ARGS...: a simulator for NAME started with ARGS, logging
# to $work/NAME.log; its port in $sim_port.
reboot_sim() {
  local name=$1
  shift
  run_sim "$name" --user admin --password secret --log "$work/$name.log" --lifetime 120 "$@" ||
    { fail "$name: the simulator did not start"; return 1; }
}

# --- Down after a second, back 3 s later: verbose lines and the downtime ---
reboot_sim down-3s --reboot-delay-ms 1000 --reboot-down-ms 3000
run down-3s $(args "$sim_port" y) /wait:20
check down-3s 0 25 "$verbose_head|waiting up to 20 s for the router to go down and come back|router went down after $num s|router back after $num s, down for $num s|done - quitting in 4 seconds"
measured=$(sed -n 's/^router back after .* s, down for \(.*\) s$/\1/p' "$work/down-3s.out")
down=$(sim_event down-3s down) back=$(sim_event down-3s back)
known=$(awk -v d="$down" -v b="$back" 'BEGIN { printf "%.3f", (b - d) / 1000 }')
went=$(sed -n 's/^router went down after \(.*\) s$/\1/p' "$work/down-3s.out")
echo "downtime: measured $measured s, the simulator's $known s"
awk -v m="$measured" -v k="$known" 'BEGIN { d = m - k; exit !(d > -0.6 && d < 0.6) }' ||
  fail "down-3s: measured downtime $measured s, the simulator was down $known s"
# It went on serving for a second after the answer.
awk -v w="$went" 'BEGIN { exit !(w >= 0.8 && w < 2.5) }' || fail "down-3s: went down after $went s"

# --- Down from the first probe: the port is refused at once ---
reboot_sim refused --reboot-down-ms 2000
run refused $(args "$sim_port" y) /wait:20
check refused 0 25 "$verbose_head|waiting up to 20 s for the router to go down and come back|router went down after 0\.[0-5] s|router back after $num s, down for $num s|done - quitting in 4 seconds"

# --- Never goes down: status 11 ---
reboot_sim never-down
run never-down $(args "$sim_port" n) /wait:3
check never-down 11 10 "The reboot was not confirmed\.|Reason: the router took the answer but did not go down within 3 s\."

# --- Never comes back: status 12 ---
reboot_sim never-back --stay-down
run never-back $(args "$sim_port" y) /wait:3
check never-back 12 15 "$verbose_head|waiting up to 3 s for the router to go down and come back|router went down after $num s|The reboot was not confirmed\.|Reason: the router went down but did not come back within 3 s\.|done - quitting in 4 seconds"

# --- Back after the wait is over: status 12, and no later than the wait ---
reboot_sim late --reboot-down-ms 8000
run late $(args "$sim_port" n) /wait:3
check late 12 6 "The reboot was not confirmed\.|Reason: the router went down but did not come back within 3 s\."

# --- Back with another host key: status 5 ---
reboot_sim new-key --reboot-down-ms 1000 --reboot-new-key
run new-key $(args "$sim_port" n) /wait:20
check new-key 5 25 "The reboot was not confirmed\.|Reason: the router's host key changed across the reboot\."

# --- Quiet and back: nothing shown ---
reboot_sim quiet-back --reboot-down-ms 1000
run quiet-back $(args "$sim_port" n) /wait:20
check quiet-back 0 25 ""

# --- Without /wait:, or a sixth parameter without the prefix: as before,
#     though the router goes down ---
reboot_sim no-wait --reboot-down-ms 1000
run no-wait $(args "$sim_port" n)
check no-wait 0 5 ""
reboot_sim no-prefix --reboot-down-ms 1000
run no-prefix $(args "$sim_port" n) 20
check no-prefix 0 5 ""
for name in no-wait no-prefix; do
  grep -q '"answer":"y"' "$work/$name.log" || fail "$name: the router did not take the answer"
done

# --- A wait that cannot be meant: status 1, and the router never asked ---
reboot_sim invalid
for value in 0 3601 abc "" -5 1.5; do
  run invalid $(args "$sim_port" n) "/wait:$value"
  check "invalid" 1 5 "The option /wait: is not valid\.|Reason: /wait: takes a whole number of seconds from 1 to 3600\."
done
grep -q '"command"' "$work/invalid.log" 2>/dev/null && fail "invalid: the router was connected to"

# --- OpenSSH's sshd stopped after the answer and started again (root) ---
if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/sshd ]; then
  dir="$work/sshd"
  user="swkret$$"
  sshd_router "$dir" "$user" 'Ret-s3cret'
  ssh-keygen -q -t ed25519 -N '' -f "$dir/other_key"
  sshd_port=$(free_port)
  # start_sshd KEY: sshd on $sshd_port with that host key.
  start_sshd() {
    sshd_router_config "$dir" "$user" "$sshd_port" "$1"
    /usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>>"$dir/sshd.err" &
    for _ in $(seq 100); do
      python3 -c "import socket; socket.create_connection(('127.0.0.1',$sshd_port),1)" \
          2>/dev/null && [ -s "$dir/sshd.pid" ] && return 0
      sleep 0.1
    done
    return 1
  }
  # reboot_sshd KEY: once the forced command has the answer, stops sshd for
  # 3 s and starts it again with KEY.
  reboot_sshd() {
    for _ in $(seq 200); do [ -s "$dir/out/answer" ] && break; sleep 0.05; done
    stop_sshd
    sleep 3
    start_sshd "$1"
  }
  sshd_args() { echo "/user:$user" '/pw:Ret-s3cret' "/port:$sshd_port" "/v:$1" /ip:127.0.0.1; }
  for key in host_key other_key; do
    rm -f "$dir/out/answer"
    start_sshd "$dir/host_key" || fail "sshd did not start"
    reboot_sshd "$dir/$key" &
    rebooter=$!
    run "sshd-$key" $(sshd_args y) /wait:30
    wait "$rebooter" || fail "sshd-$key: sshd did not start again"
    if [ "$key" = host_key ]; then
      check "sshd-$key" 0 45 "$verbose_head|waiting up to 30 s for the router to go down and come back|router went down after $num s|router back after $num s, down for [3-9]\.[0-9] s|done - quitting in 4 seconds"
    else
      check "sshd-$key" 5 45 "$verbose_head|waiting up to 30 s for the router to go down and come back|router went down after $num s|The reboot was not confirmed\.|Reason: the router's host key changed across the reboot\.|done - quitting in 4 seconds"
    fi
    stop_sshd
  done

  # sshd_fleet NAME OPTIONS...: a fleet of sshd (rebooted as above) and a
  # simulator that reboots too, run with OPTIONS and ending 0 with both
  # rebooted; $sim_down and $sshd_back say when the simulator went down
  # and when sshd was back.
  sshd_fleet() {
    local name=$1
    shift
    rm -f "$dir/out/answer"
    start_sshd "$dir/host_key" || fail "sshd did not start"
    reboot_sim "$name-sim" --reboot-delay-ms 300 --reboot-down-ms 2000
    printf '%s\n' "$(sshd_args n)" "$(args "$sim_port" n)" >"$work/$name.list"
    chmod 600 "$work/$name.list"
    { reboot_sshd "$dir/host_key" && date +%s%3N >"$work/$name-sshd-back"; } &
    rebooter=$!
    run "$name" "/list:$work/$name.list" "$@" "/report:$work/$name.csv" /v:n
    wait "$rebooter" || fail "$name: sshd did not start again"
    check "$name" 0 60 ""
    [ "$(tr -d '\r' <"$work/$name.csv" | grep -cE '^[12],127\.0\.0\.1,[0-9]+,[a-z0-9]+,0,rebooted,,[0-9.]+,[0-9.]+,[0-9.]+,')" = 2 ] ||
      fail "$name: report: $(cat "$work/$name.csv")"
    sim_down=$(sim_event "$name-sim" down)
    sshd_back=$(cat "$work/$name-sshd-back" 2>/dev/null || true)
    stop_sshd
  }

  # With one job the simulator is rebooted while sshd is still down, since
  # waiting holds no job slot, and both come back.
  sshd_fleet fleet-wait /jobs:1 /wait:30
  [ -n "$sim_down" ] && [ -n "$sshd_back" ] && [ "$sim_down" -lt "$sshd_back" ] ||
    fail "fleet-wait: the simulator went down at ${sim_down:-never}, not before sshd was back (${sshd_back:-never})"
  # With two jobs under /down:1 the simulator is not started until sshd is
  # back, so it goes down only after sshd came back.
  sshd_fleet fleet-down /jobs:2 /wait:30 /down:1
  [ -n "$sim_down" ] && [ -n "$sshd_back" ] && [ "$sim_down" -gt "$sshd_back" ] ||
    fail "fleet-down: the simulator went down at ${sim_down:-never}, before sshd was back (${sshd_back:-never})"
else
  echo "skipped: the reboot of OpenSSH's sshd needs root"
fi

test_exit
echo "router return: all cases passed"
