#!/usr/bin/env bash
# The trace in the system log, through the real syslog(3) path: in a private
# mount namespace /dev/log is the socket of a listener of this test's own, so
# the machine's log sees nothing. A cron-like run (no terminal: setsid, all
# of stdio on /dev/null) leaves exactly one line, facility user, identity
# swKicker, with the router's address, port and user and the outcome, and
# never the password; a run in a pseudo-terminal leaves none; a fleet run
# whose report fills its file system says so in its closing line.
# Needs root (mount namespace); exits 77 (skipped) otherwise.
# Usage: system_log_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
own_system_ssh_config "$0" "$@"

program=$1
sim=$2
if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
  echo "SKIP: needs root and mount namespaces"
  exit 77
fi

work=$(mktemp -d)
export HOME="$work/home"
mkdir -p "$HOME"
unset SSH_AUTH_SOCK
password='Pw-9f3!syslog'
failures=0
listener_pid=
cleanup() {
  stop_sims
  [ -n "$listener_pid" ] && kill "$listener_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The listener: one line per datagram, as syslog(3) sends it.
python3 - "$work/log.sock" "$work/received" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "ab", buffering=0) as out:
    while True:
        data = s.recv(65536)
        out.write(data.replace(b"\n", b"\\n") + b"\n")
PY
listener_pid=$!
for _ in $(seq 100); do [ -S "$work/log.sock" ] && break; sleep 0.05; done
[ -S "$work/log.sock" ] || { echo "FAIL: the listener did not start"; exit 1; }
: >"$work/received"

start_sim "$password" 120

# in_namespace CMD...: runs CMD where /dev is a fresh tmpfs holding the
# devices a run needs and /dev/log pointing at the listener.
in_namespace() {
  unshare -m bash -c '
    set -e
    work=$1; shift
    mkdir -p "$work/realdev"
    mount --rbind /dev "$work/realdev"
    mount -t tmpfs -o mode=755 swk-dev /dev
    for node in null zero random urandom tty; do
      touch "/dev/$node"
      mount --bind "$work/realdev/$node" "/dev/$node"
    done
    # Pseudo-terminals of this namespace only.
    mkdir /dev/pts
    mount -t devpts -o newinstance,ptmxmode=0666 swk-pts /dev/pts
    ln -s pts/ptmx /dev/ptmx
    ln -s "$work/log.sock" /dev/log
    "$@"
  ' in_namespace "$work" "$@"
}

lines() { wc -l <"$work/received" | tr -d ' '; }
# The listener writes as datagrams arrive; give it a moment.
wait_lines() {
  for _ in $(seq 50); do [ "$(lines)" -ge "$1" ] && break; sleep 0.1; done
}

# 1. A cron-like run that reboots: one notice. It is the first contact: the
#    key it recorded is named with the fingerprint ssh-keygen gives.
status=0
in_namespace setsid -w "$program" /user:admin "/pw:$password" "/port:$port" /v:n /ip:127.0.0.1 \
  </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "answered run: exit status $status"
wait_lines 1
[ "$(lines)" -eq 1 ] || fail "answered run: $(lines) lines in the log, expected 1"
line=$(sed -n 1p "$work/received")
fingerprint=$(ssh-keygen -lf "$HOME/.ssh/known_hosts" | awk '{ print $2 }')
expected="address=127.0.0.1 port=$port user=admin outcome=answered added_key=\"ED25519 $fingerprint\" known_hosts=$HOME/.ssh/known_hosts question=\"Reboot now? [y/N]: \""
# <13> is facility user (1), severity notice (5).
[[ "$line" =~ ^\<13\>.*swKicker\[[0-9]+\]:\ (.*)$ ]] || fail "answered run: not user.notice from swKicker: $line"
[ "${BASH_REMATCH[1]:-}" = "$expected" ] || fail "answered run: got '${BASH_REMATCH[1]:-}', expected '$expected'"

# 2. A cron-like run that fails (the router refuses the password): one
#    warning, and the password that was tried is not in it.
status=0
in_namespace setsid -w "$program" /user:admin "/pw:wrong-$password" "/port:$port" /v:n \
  /ip:127.0.0.1 </dev/null >/dev/null 2>&1 || status=$?
# 6: authentication refused.
[ "$status" -eq 6 ] || fail "refused run: exit status $status, expected 6"
wait_lines 2
[ "$(lines)" -eq 2 ] || fail "refused run: $(lines) lines in the log, expected 2"
line=$(sed -n 2p "$work/received")
# <12> is facility user (1), severity warning (4).
expected="address=127.0.0.1 port=$port user=admin outcome=failed reason=\"authentication refused\""
[[ "$line" =~ ^\<12\>.*swKicker\[[0-9]+\]:\ (.*)$ ]] || fail "refused run: not user.warning from swKicker: $line"
[ "${BASH_REMATCH[1]:-}" = "$expected" ] || fail "refused run: got '${BASH_REMATCH[1]:-}', expected '$expected'"

# 3. A run whose messages a terminal shows: nothing in the log.
status=0
in_namespace script -qec "$program /user:admin /pw:$password /port:$port /v:n /ip:127.0.0.1" \
  /dev/null </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "run in a terminal: exit status $status"
answers=$(grep -c '"answer":"y"' "$work/router.log" || true)
[ "$answers" -eq 2 ] || fail "run in a terminal: the router logged $answers answers, expected 2"
sleep 0.5
[ "$(lines)" -eq 2 ] || fail "run in a terminal: it wrote to the system log"

# 4. A cron-like run with /wait: against a router that reboots: the notice
#    carries when it went down and when it was back.
run_sim reboot --user admin --password "$password" --lifetime 120 --reboot-down-ms 1000 ||
  { echo "FAIL: the rebooting simulator did not start"; exit 1; }
status=0
in_namespace setsid -w "$program" /user:admin "/pw:$password" "/port:$sim_port" /v:n \
  /ip:127.0.0.1 /wait:20 </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "waited run: exit status $status"
wait_lines 3
line=$(sed -n 3p "$work/received")
expected="address=127\.0\.0\.1 port=$sim_port user=admin outcome=answered down=[0-9]+\.[0-9] back=[0-9]+\.[0-9] added_key=\"ED25519 SHA256:[A-Za-z0-9+/]+\" known_hosts=$HOME/\.ssh/known_hosts question=\"Reboot now\\? \\[y/N\\]: \""
[[ "$line" =~ ^\<13\>.*swKicker\[[0-9]+\]:\ (.*)$ ]] || fail "waited run: not user.notice from swKicker: $line"
[[ "${BASH_REMATCH[1]:-}" =~ ^$expected$ ]] || fail "waited run: got '${BASH_REMATCH[1]:-}'"

# 5. A cron-like fleet run: a line per router (one refuses the password,
#    one port is closed), each with its list line, then one closing warning.
closed=$(free_port)
run_sim second --user admin --password "$password" --lifetime 120 ||
  { echo "FAIL: the second simulator did not start"; exit 1; }
printf '%s\n' "# two routers and a closed port" \
  "/user:admin /pw:$password /port:$port /ip:127.0.0.1" \
  "/user:admin /pw:wrong-$password /port:$sim_port /ip:127.0.0.1" \
  "/user:admin /pw:$password /port:$closed /ip:127.0.0.1" >"$work/fleet.list"
chmod 600 "$work/fleet.list"
status=0
in_namespace setsid -w "$program" "/list:$work/fleet.list" /v:n /jobs:1 \
  </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 10 ] || fail "fleet run: exit status $status, expected 10"
wait_lines 7
[ "$(lines)" -eq 7 ] || fail "fleet run: $(lines) lines in the log, expected 7"
# The routers in the list's order (one job), then the closing line.
i=4
while IFS= read -r expected; do
  line=$(sed -n "${i}p" "$work/received")
  [[ "$line" =~ ^\<1[23]\>.*swKicker\[[0-9]+\]:\ (.*)$ ]] || fail "fleet run: line $i: $line"
  [[ "${BASH_REMATCH[1]:-}" =~ ^$expected$ ]] || fail "fleet run: line $i: got '${BASH_REMATCH[1]:-}'"
  i=$((i + 1))
done <<LINES
line=2 address=127\.0\.0\.1 port=$port user=admin outcome=answered question="Reboot now\? \[y/N\]: "
line=3 address=127\.0\.0\.1 port=$sim_port user=admin outcome=failed reason="the user name or password was refused" added_key="ED25519 SHA256:[A-Za-z0-9+/]+" known_hosts=$HOME/\.ssh/known_hosts
line=4 address=127\.0\.0\.1 port=$closed user=admin outcome=failed reason="the router refused the connection"
list=$work/fleet\.list routers=3 rebooted=1 failed=2 seconds=[0-9]+\.[0-9]
LINES
[[ "$(sed -n 7p "$work/received")" =~ ^\<12\> ]] || fail "fleet run: the closing line is no warning"

# 6. A cron-like fleet run whose report fills its file system (a 4 KiB
#    tmpfs of the namespace's own): 30 routers with a long user name, so
#    rows of about 160 bytes; the closing line is a warning that says how
#    many rows the report holds, and the run ends with 13.
long_user=$(printf 'u%.0s' $(seq 120))
run_sim thirty --user "$long_user" --password "$password" --lifetime 120 --ports 30 ||
  { echo "FAIL: the thirty routers did not start"; exit 1; }
while read -r p; do
  echo "/user:$long_user /pw:$password /port:$p /ip:127.0.0.1"
done <"$work/thirty.port" >"$work/thirty.list"
chmod 600 "$work/thirty.list"
mkdir "$work/full"
before=$(lines)
status=0
in_namespace bash -c 'mount -t tmpfs -o size=4k swk-full "$1/full" && shift && exec "$@"' bash "$work" \
  setsid -w "$program" "/list:$work/thirty.list" /v:n "/report:$work/full/r.csv" \
  </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 13 ] || fail "full report: exit status $status, expected 13"
wait_lines $((before + 31))
[ "$(lines)" -eq $((before + 31)) ] || fail "full report: $(($(lines) - before)) lines in the log, expected 31"
line=$(sed -n "$((before + 31))p" "$work/received")
expected="list=$work/thirty\.list routers=30 rebooted=30 failed=0 seconds=[0-9]+\.[0-9] report=incomplete report_rows=([0-9]+)"
[[ "$line" =~ ^\<12\>.*swKicker\[[0-9]+\]:\ (.*)$ ]] || fail "full report: the closing line is no warning: $line"
[[ "${BASH_REMATCH[1]:-}" =~ ^$expected$ ]] || fail "full report: closing line '${BASH_REMATCH[1]:-}'"
rows=${BASH_REMATCH[1]:-0}
[ "$rows" -gt 0 ] && [ "$rows" -lt 30 ] || fail "full report: $rows rows said to be written"

# 7. Where it went: a Host alias with HostName, Port and User, as ssh -G
#    reads it, named so on the command line and in a fleet line without
#    /user: or /port:; the line says the address, port and user used and
#    the name as given, and so does the report's row.
printf 'Host myrouter\n  HostName 127.0.0.1\n  Port %s\n  User admin\n' "$port" >"$HOME/.ssh/config"
read -r used_host used_port used_user < <(ssh -G -F "$HOME/.ssh/config" myrouter |
  awk '$1 == "hostname" { h = $2 } $1 == "port" { p = $2 } $1 == "user" { u = $2 }
       END { print h, p, u }')
[ "$used_host $used_port $used_user" = "127.0.0.1 $port admin" ] ||
  fail "ssh -G myrouter: $used_host $used_port $used_user"
# alias_run NAME LINE EXPECTED ARGS...: a cron-like run of ARGS ending with
# 0, whose log line LINE (after the lines before it) is EXPECTED.
alias_run() {
  local name=$1 at=$(($(lines) + $2)) expected=$3
  shift 3
  status=0
  in_namespace setsid -w "$program" "$@" </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "$name: exit status $status"
  wait_lines "$at"
  line=$(sed -n "${at}p" "$work/received")
  [[ "$line" =~ swKicker\[[0-9]+\]:\ (.*)$ ]] && [ "${BASH_REMATCH[1]}" = "$expected" ] ||
    fail "$name: got '$line', expected '$expected'"
}
alias_run alias 1 "address=$used_host port=$used_port user=$used_user name=myrouter outcome=answered question=\"Reboot now? [y/N]: \"" \
  /user: "/pw:$password" /port: /v:n /ip:myrouter
echo "/pw:$password /ip:myrouter" >"$work/alias.list"
chmod 600 "$work/alias.list"
alias_run "alias fleet" 1 \
  "line=1 address=$used_host port=$used_port user=$used_user name=myrouter outcome=answered question=\"Reboot now? [y/N]: \"" \
  "/list:$work/alias.list" /v:n "/report:$work/alias.csv"
tr -d '\r' <"$work/alias.csv" | grep -qxE "1,127\.0\.0\.1,$port,admin,0,rebooted,,[0-9.]+,myrouter,,,Reboot now\\? \\[y/N\\]: " ||
  fail "alias fleet: report: $(cat "$work/alias.csv")"
rm -f "$HOME/.ssh/config"

if grep -qF -- "$password" "$work/received"; then
  fail "the password is in the system log"
fi

if [ "$failures" -gt 0 ]; then
  echo "--- received:"
  cat "$work/received"
  exit 1
fi
echo "system log: all cases passed"
