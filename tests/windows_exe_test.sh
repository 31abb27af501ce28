#!/usr/bin/env bash
# swKicker.exe under Wine with no console at all (as under Task Scheduler
# with no window): it must end on its own with the right exit status. Against
# the router simulator: the usage screen, verbose and quiet reboots, a wrong
# password, a closed port, a reboot waited for with /wait:, a fleet's
# report and retry list; as root also
# against OpenSSH's sshd with a throwaway user and a forced command that asks
# and records the answer.
# Usage: windows_exe_test.sh SWKICKER_EXE ROUTER_SIM
# Wants WINEPREFIX set and a wineserver kept up by the caller.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
exe=$1
sim=$2
: "${WINEPREFIX:?}"
export WINEDEBUG=-all LANG=C.UTF-8

work=$(mktemp -d)
pids=()
user=
cleanup() {
  stop_sims
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "$user" ] && userdel "$user" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0

# run NAME EXPECTED_STATUSES ARGS...: the exe with no terminal and no
# console (statuses separated by "|"); a hang is cut after 120 s and fails.
run() {
  local name=$1 expected=$2
  shift 2
  local rc=0
  setsid timeout 120 wine "$exe" "$@" </dev/null >"$work/$name.out" 2>&1 || rc=$?
  if [[ "|$expected|" != *"|$rc|"* ]]; then
    fail "$name: exit status $rc, expected $expected"
    head -20 "$work/$name.out"
  else
    echo "ok: $name (exit status $rc)"
  fi
}

# connection_sim NAME: a simulator for one connection, logging to
# $work/NAME.log; its port goes to $sim_port.
connection_sim() {
  run_sim "$1" --user admin --password secret --log "$work/$1.log" --count 1 --lifetime 300
}

# answer_logged NAME: the simulator saw the reboot command and the answer y.
answer_logged() {
  grep -q '"command":"/system reboot"' "$work/$1.log" &&
      grep -q '"answer":"y"' "$work/$1.log"
}

# No earlier run's known_hosts or configuration takes part.
wine_ssh_files_reset || { echo "FAIL: no Wine profile"; exit 1; }

run usage 0

connection_sim verbose || fail "simulator did not start"
run verbose 0 /user:admin /pw:secret "/port:$sim_port" /v:y /ip:127.0.0.1
answer_logged verbose || fail "verbose: no answer in the simulator's log"

connection_sim quiet || fail "simulator did not start"
run quiet 0 /user:admin /pw:secret "/port:$sim_port" /v:n /ip:127.0.0.1
answer_logged quiet || fail "quiet: no answer in the simulator's log"

# The configuration from the Windows paths: an alias in the user's file, and
# one in the machine's; the new router's key recorded in the user's folder.
connection_sim alias || fail "simulator did not start"
printf 'Host old-router\r\n  HostName 127.0.0.1\r\n  Port %s\r\n  User admin\r\n' "$sim_port" \
    >"$wine_user_ssh/config"
run alias 0 /user: /pw:secret /port: /v:n /ip:old-router
answer_logged alias || fail "alias: no answer in the simulator's log"
grep -q "^\[127.0.0.1\]:$sim_port ssh-" "$wine_user_ssh/known_hosts" ||
    fail "alias: the router's key was not recorded in the profile's known_hosts"
connection_sim system-alias || fail "simulator did not start"
printf 'Host machine-router\n  HostName 127.0.0.1\n  Port %s\n' "$sim_port" >"$wine_system_config"
run system-alias 0 /user:admin /pw:secret /port: /v:n /ip:machine-router
answer_logged system-alias || fail "system-alias: no answer in the simulator's log"
# ProxyJump cannot run on Windows: refused with status 1, nothing sent.
printf 'Host jumped\n  HostName 127.0.0.1\n  ProxyJump gw.example\n' >"$wine_user_ssh/config"
run proxy-jump 1 /user:admin /pw:secret /port:22 /v:n /ip:jumped
: >"$wine_user_ssh/config"
: >"$wine_system_config"

connection_sim wrong-password || fail "simulator did not start"
run wrong-password 6 /user:admin /pw:wrong "/port:$sim_port" /v:y /ip:127.0.0.1

# /wait:: a router that reboots, down for 2 s, is seen going down and
# coming back with the same host key.
run_sim reboot --user admin --password secret --log "$work/reboot.log" --lifetime 120 \
    --reboot-down-ms 2000 || fail "simulator did not start"
run reboot-wait 0 /user:admin /pw:secret "/port:$sim_port" /v:n /ip:127.0.0.1 /wait:30
grep -q '"event":"back"' "$work/reboot.log" || fail "reboot-wait: the simulator did not reboot"

# The connection is made by swKicker's own Winsock code: an address literal
# in another spelling reaches the same router.
connection_sim spelled-address || fail "simulator did not start"
run spelled-address 0 /user:admin /pw:secret "/port:$sim_port" /v:y /ip:127.1
answer_logged spelled-address || fail "spelled-address: no answer in the simulator's log"

# Values that do not fit are refused before anything connects: a port that
# would wrap around to the simulator's, a password over 127 bytes.
connection_sim refused-values || fail "simulator did not start"
run wrapped-port 1 /user:admin /pw:secret "/port:$((sim_port + 4294967296))" /v:y /ip:127.0.0.1
run long-password 1 /user:admin "/pw:$(printf 'p%.0s' $(seq 128))" "/port:$sim_port" /v:y \
    /ip:127.0.0.1
[ -s "$work/refused-values.log" ] && fail "refused values: the simulator saw a connection"

# swKicker connects through Winsock itself and reads WSAECONNREFUSED: a
# closed loopback port is a refusal under Wine too (libssh's own connect
# ran into its timeout there).
closed=$(free_port)
run closed-port 3 /user:admin /pw:secret "/port:$closed" /v:y /ip:127.0.0.1

# A fleet with no console: two routers at once, one refusing the password;
# status 10 and the report's rows. A list others may read is refused first
# (Wine shows a Unix file's "other" read bit as read access for Everyone).
connection_sim fleet-a
fleet_a=$sim_port
connection_sim fleet-b
fleet_b=$sim_port
printf '/user:admin /pw:secret /port:%s /ip:127.0.0.1\r\n/user:admin /pw:wrong /port:%s /ip:127.0.0.1\r\n' \
  "$fleet_a" "$fleet_b" >"$work/fleet.list"
chmod 604 "$work/fleet.list"
run fleet-readable 1 "/list:$(winpath "$work/fleet.list")" /v:n
chmod 600 "$work/fleet.list"
run fleet 10 "/list:$(winpath "$work/fleet.list")" /v:n "/report:$(winpath "$work/fleet.csv")"
answer_logged fleet-a || fail "fleet: the first router did not get the answer"
tr -d '\r' <"$work/fleet.csv" | grep -q "^1,127.0.0.1,$fleet_a,admin,0,rebooted,,[0-9.]*," ||
  fail "fleet: report: $(cat "$work/fleet.csv")"
tr -d '\r' <"$work/fleet.csv" | grep -q "^2,127.0.0.1,$fleet_b,admin,6,failed,the user name or password was refused,[0-9.]*," ||
  fail "fleet: report: $(cat "$work/fleet.csv")"

# The preflight: the same two faults met, neither router sent the command,
# no key recorded; the single command refuses /check: before any contact.
connection_sim check-a
check_a=$sim_port
connection_sim check-b
check_b=$sim_port
run single-check 1 /user:admin /pw:secret "/port:$check_a" /v:n /ip:127.0.0.1 /check:y
[ -s "$work/check-a.log" ] && fail "single-check: the router was contacted"
printf '/user:admin /pw:secret /port:%s /ip:127.0.0.1\r\n/user:admin /pw:wrong /port:%s /ip:127.0.0.1\r\n' \
  "$check_a" "$check_b" >"$work/check.list"
chmod 600 "$work/check.list"
run check 10 "/list:$(winpath "$work/check.list")" /v:n /check:y "/report:$(winpath "$work/check.csv")"
grep -q '"password":"secret".*"command":null,"question_sent":false,"answer":null' "$work/check-a.log" ||
  fail "check: the router's log: $(cat "$work/check-a.log")"
# Rows come as the routers finish.
[ "$(csv_head 7 <"$work/check.csv" | cut -d, -f1,5,6 | sort | paste -sd '|')" = \
  "1,0,ready|2,6,failed|line,exit status,outcome" ] || fail "check: report: $(cat "$work/check.csv")"
grep -q "^\[127.0.0.1\]:$check_a " "$wine_user_ssh/known_hosts" 2>/dev/null &&
  fail "check: the router's key was recorded"

# Job threads that end while another router is still in its session: three
# quick routers and one whose every step takes a second, six runs, each
# ending with 0 (the threads' own state once crashed the program as they
# ended, now and then).
: >"$work/ending.list"
for name in ending-1 ending-2 ending-3 ending-slow; do
  extra=()
  [ "$name" = ending-slow ] && extra=(--mode stall --stall-ms 1000)
  run_sim "$name" --user admin --password secret --lifetime 120 "${extra[@]}" ||
    fail "$name: simulator did not start"
  printf '/user:admin /pw:secret /port:%s /ip:127.0.0.1\r\n' "$sim_port" >>"$work/ending.list"
done
chmod 600 "$work/ending.list"
for round in 1 2 3 4 5 6; do
  run "threads-ending-$round" 0 "/list:$(winpath "$work/ending.list")" /v:n
done

# The report's opening rules and duplicate spellings, before any router is
# contacted: a folder is no report, two spellings of one address are one
# router (each exit status 1, the simulator sees nothing); /report:- writes
# the CSV to standard output, a file here.
connection_sim fleet-c
fleet_c=$sim_port
printf '/user:admin /pw:secret /port:%s /ip:127.0.0.1\r\n' "$fleet_c" >"$work/one.list"
printf '/user:admin /pw:secret /port:%s /ip:127.0.0.1\r\n/user:admin /pw:secret /port:%s /ip:127.1\r\n' \
  "$fleet_c" "$fleet_c" >"$work/twice.list"
chmod 600 "$work/one.list" "$work/twice.list"
mkdir "$work/folder.csv"
run fleet-report-folder 1 "/list:$(winpath "$work/one.list")" /v:n "/report:$(winpath "$work/folder.csv")"
run fleet-twice 1 "/list:$(winpath "$work/twice.list")" /v:n
[ -s "$work/fleet-c.log" ] && fail "fleet: a refused run contacted the router"
run fleet-stdout 0 "/list:$(winpath "$work/one.list")" /v:n /report:-
# Rows cut to their first seven fields (up to the reason).
[ "$(csv_head 7 <"$work/fleet-stdout.out" | paste -sd '|')" = \
  "line,address,port,user,exit status,outcome,reason|1,127.0.0.1,$fleet_c,admin,0,rebooted," ] ||
  fail "fleet: /report:- wrote: $(cat "$work/fleet-stdout.out")"
answer_logged fleet-c || fail "fleet: /report:-: the router did not get the answer"

# A fleet waited for, one job: two routers that reboot, each seen going
# down and coming back by the watch that runs beside the job slot (Winsock's
# WSAPoll over both routers' probes); the second is rebooted while the first
# is still down.
for name in fleet-wait-a fleet-wait-b; do
  run_sim "$name" --user admin --password secret --log "$work/$name.log" --lifetime 120 \
      --reboot-delay-ms 300 --reboot-down-ms 4000 || fail "$name: simulator did not start"
  printf '/user:admin /pw:secret /port:%s /ip:127.0.0.1\r\n' "$sim_port" >>"$work/fleet-wait.list"
done
chmod 600 "$work/fleet-wait.list"
run fleet-wait 0 "/list:$(winpath "$work/fleet-wait.list")" /v:n /jobs:1 /wait:30 \
  "/report:$(winpath "$work/fleet-wait.csv")"
[ "$(tr -d '\r' <"$work/fleet-wait.csv" | grep -cE '^[12],127\.0\.0\.1,[0-9]+,admin,0,rebooted,,[0-9.]+,[0-9.]+,[0-9.]+,')" = 2 ] ||
  fail "fleet-wait: report: $(cat "$work/fleet-wait.csv")"
first_back=$(sed -n 's/^{"event":"back","ms":\([0-9]*\)}$/\1/p' "$work/fleet-wait-a.log")
second_down=$(sed -n 's/^{"event":"down","ms":\([0-9]*\)}$/\1/p' "$work/fleet-wait-b.log")
[ -n "$first_back" ] && [ -n "$second_down" ] && [ "$second_down" -lt "$first_back" ] ||
  fail "fleet-wait: the second router went down at ${second_down:-never}, not before the first was back (${first_back:-never})"

# /retry: a failing router's line, as written (CR LF ended in the list),
# replaces an old retry list others could read with one only its owner may
# (Wine makes the access list a Unix mode: others get nothing, though its
# mapping of an owner-only list gives the group read too, 0750); a rerun of
# it as its own list is not refused for its privacy and fails the same way.
closed_port=$(free_port)
printf '# one router\r\n/user:admin /pw:secret  /port:%s /ip:127.0.0.1\r\n' "$closed_port" >"$work/retry.list"
chmod 600 "$work/retry.list"
echo "old list" >"$work/retry.txt"
chmod 644 "$work/retry.txt"
run fleet-retry 10 "/list:$(winpath "$work/retry.list")" /v:n "/retry:$(winpath "$work/retry.txt")"
retry_mode=$(stat -c %a "$work/retry.txt")
[ $((8#$retry_mode & 8#007)) = 0 ] || fail "fleet-retry: mode $retry_mode"
retry_expected="# line 2: status 3, the router refused the connection
/user:admin /pw:secret  /port:$closed_port /ip:127.0.0.1"
[ "$(tail -n +2 "$work/retry.txt")" = "$retry_expected" ] || fail "fleet-retry: $(cat -A "$work/retry.txt")"
run fleet-rerun 10 "/list:$(winpath "$work/retry.txt")" /v:n "/retry:$(winpath "$work/retry.txt")"
[ "$(tail -n +2 "$work/retry.txt")" = "# line 3: status 3, the router refused the connection
/user:admin /pw:secret  /port:$closed_port /ip:127.0.0.1" ] || fail "fleet-rerun: $(cat -A "$work/retry.txt")"
ls "$work" | grep -q '\.new$' && fail "fleet-retry: a new file was left beside the retry list"

if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/sshd ]; then
  dir="$work/sshd"
  user="swkwin$$"
  sshd_router "$dir" "$user" 'Win s3cret'
  sshd_port=$(free_port)
  sshd_router_config "$dir" "$user" "$sshd_port" "$dir/host_key"
  # start_sshd: sshd on $dir/sshd_config, once it listens.
  start_sshd() {
    /usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.err" &
    pids+=($!)
    for _ in $(seq 100); do
      python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$sshd_port),1)" \
          2>/dev/null && break
      sleep 0.1
    done
  }
  start_sshd
  run sshd 0 "/user:$user" '/pw:Win s3cret' "/port:$sshd_port" /v:y /ip:127.0.0.1
  [ "$(cat "$dir/out/command" 2>/dev/null)" = "/system reboot" ] ||
      fail "sshd: the forced command did not get /system reboot"
  [ "$(cat "$dir/out/answer" 2>/dev/null)" = "y" ] ||
      fail "sshd: the forced command did not get the answer y"

  # Old routers' servers: status 9 with nothing configured; with the lines
  # that allow their algorithms, reached, where the exe's library (libssh
  # on mbedTLS) can do them; DSA it cannot, so that stays 9.
  old_router() {
    local name=$1 key=$2 profile=$3 lines=$4 expected=$5
    kill "${pids[-1]}" 2>/dev/null
    wait "${pids[-1]}" 2>/dev/null
    rm -f "$dir/host_key" "$dir/host_key.pub"
    ssh-keygen -q -t "$key" -N '' -f "$dir/host_key"
    sed -i '/^HostKeyAlgorithms\|^KexAlgorithms\|^Ciphers\|^MACs/d' "$dir/sshd_config"
    printf '%b' "$profile" >>"$dir/sshd_config"
    start_sshd
    rm -f "$wine_user_ssh/known_hosts"
    : >"$wine_user_ssh/config"
    run "$name" 9 "/user:$user" '/pw:Win s3cret' "/port:$sshd_port" /v:n /ip:127.0.0.1
    printf '%b' "$lines" >"$wine_user_ssh/config"
    run "$name-with-lines" "$expected" "/user:$user" '/pw:Win s3cret' "/port:$sshd_port" /v:n \
        /ip:127.0.0.1
  }
  old_router ssh-rsa rsa 'HostKeyAlgorithms ssh-rsa\n' \
      'Host 127.0.0.1\n HostKeyAlgorithms +ssh-rsa\n' 0
  old_router group1-cbc rsa \
      'HostKeyAlgorithms ssh-rsa\nKexAlgorithms diffie-hellman-group1-sha1\nCiphers aes128-cbc\nMACs hmac-sha1\n' \
      'Host 127.0.0.1\n KexAlgorithms +diffie-hellman-group1-sha1\n HostKeyAlgorithms +ssh-rsa\n Ciphers +aes128-cbc\n MACs +hmac-sha1\n' 0
  old_router group-exchange-sha1 rsa \
      'HostKeyAlgorithms ssh-rsa\nKexAlgorithms diffie-hellman-group-exchange-sha1\n' \
      'Host 127.0.0.1\n KexAlgorithms +diffie-hellman-group-exchange-sha1\n HostKeyAlgorithms +ssh-rsa\n' 0
  old_router ssh-dss dsa 'HostKeyAlgorithms ssh-dss\n' \
      'Host 127.0.0.1\n HostKeyAlgorithms +ssh-dss\n' 9
  : >"$wine_user_ssh/config"
else
  echo "skipped: the reboot against OpenSSH's sshd needs root"
fi

test_exit
echo "swKicker.exe: all runs ended with the expected status"
