#!/usr/bin/env bash
# The router simulator playing many routers at once (--ports N): OpenSSH
# clients that all hold their sessions open until every one of them has been
# asked, on separate ports and on one port; twenty swKicker runs at once with
# every log line whole; --count and --lifetime ending a run with sessions
# open; and the options that cannot go with --ports refused.
# Usage: router_sim_ports_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
own_system_ssh_config "$0" "$@"

program=$1
sim=$2
test_begin router-sim-ports
unset SSH_AUTH_SOCK
own_home
client_pids=()
cleanup() {
  local pid
  for pid in "${client_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  test_end
}
trap cleanup EXIT

# ports_sim NAME ARGS...: a simulator started with --ports and ARGS, logging
# to $work/NAME.log; its ports, in order, in the array ports.
ports_sim() {
  local name=$1
  shift
  run_sim "$name" --log "$work/$name.log" --lifetime 120 "$@" ||
    { fail "$name: the simulator did not start: $(cat "$work/$name.err")"; return 1; }
  mapfile -t ports <"$work/$name.port"
}

# ssh_client NAME PORT: OpenSSH's client asking for the reboot on PORT, its
# standard input the FIFO $work/NAME.in (held open by this shell, so the
# client sees no end of input until answer), its output in $work/NAME.out
# and its exit status in $work/NAME.rc.
declare -A client_fd
ssh_client() {
  local name=$1 port=$2
  mkfifo "$work/$name.in"
  (for f in "${client_fd[@]}"; do exec {f}>&-; done
   status=0
   sshpass -p secret ssh -F /dev/null -o StrictHostKeyChecking=no \
     -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -p "$port" admin@127.0.0.1 \
     '/system reboot' <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err" || status=$?
   echo "$status" >"$work/$name.rc") &
  client_pids+=($!)
  exec {fd}>"$work/$name.in"
  client_fd[$name]=$fd
}

# asked NAME: the client has been shown the question within 20 s.
asked() {
  for _ in $(seq 200); do
    grep -qF 'Reboot now? [y/N]: ' "$work/$1.out" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# answer NAME: sends "y" to the client's session and ends its input.
answer() {
  local fd=${client_fd[$1]}
  printf 'y\n' >&"$fd"
  exec {fd}>&-
}

# finished NAME: the client ended within 20 s with status 0.
finished() {
  for _ in $(seq 200); do [ -s "$work/$1.rc" ] && break; sleep 0.1; done
  [ "$(cat "$work/$1.rc" 2>/dev/null)" = 0 ]
}

# --- Sessions held open at once: every client is asked before any answers ---
# A simulator serving in turn would leave all but one client waiting for the
# question, so each "asked" below would time out.
# Columns: name, routers played, clients on each port.
while read -r name routers per_port; do
  ports_sim "$name" --ports "$routers" || continue
  [ "${#ports[@]}" = "$routers" ] || fail "$name: ${#ports[@]} ports printed, not $routers"
  clients=()
  for port in "${ports[@]}"; do
    for k in $(seq "$per_port"); do
      ssh_client "$name-$port-$k" "$port"
      clients+=("$name-$port-$k")
    done
  done
  before=$failures
  for c in "${clients[@]}"; do asked "$c" || fail "$name: $c was not asked while the others were open"; done
  for c in "${clients[@]}"; do answer "$c"; done
  for c in "${clients[@]}"; do
    finished "$c" || fail "$name: $c ended with status $(cat "$work/$c.rc" 2>/dev/null): $(cat "$work/$c.err")"
  done
  # The log agrees: one line per client, each answered "y", on the ports
  # the clients used, and every question sent before the first answer came.
  python3 - "$work/$name.log" "${#clients[@]}" "$per_port" "${ports[@]}" <<'PY' ||
import json, sys
path, count, per_port, ports = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
lines = [json.loads(l) for l in open(path)]
assert len(lines) == count, "%d log lines, not %d" % (len(lines), count)
assert all(l["answer"] == "y" and l["command"] == "/system reboot" for l in lines), lines
seen = sorted(str(l["port"]) for l in lines)
assert seen == sorted(p for p in ports for _ in range(per_port)), "ports %s" % seen
assert sorted(l["connection"] for l in lines) == list(range(1, count + 1))
first_answer = min(l["answer_ms"] for l in lines)
assert all(l["question_sent_ms"] <= first_answer for l in lines), "a question came after an answer"
PY
    fail "$name: the log does not show the sessions at once"
  [ "$failures" = "$before" ] && echo "ok: $name (${#clients[@]} sessions at once)"
  stop_sims
done <<'TABLE'
eight-ports 8 1
one-port 1 5
three-ports-two-each 3 2
TABLE

# --- Twenty swKicker runs at once: each reboots its router, log lines whole ---
ports_sim twenty --ports 20
before=$failures
run_pids=()
for port in "${ports[@]}"; do
  "$program" /user:admin /pw:secret "/port:$port" /v:n /ip:127.0.0.1 \
    </dev/null >"$work/run-$port.out" 2>&1 &
  run_pids+=($!)
done
for i in "${!run_pids[@]}"; do
  status=0
  wait "${run_pids[$i]}" || status=$?
  [ "$status" = 0 ] || fail "twenty: the run on port ${ports[$i]} ended with $status: $(cat "$work/run-${ports[$i]}.out")"
done
python3 - "$work/twenty.log" "${ports[@]}" <<'PY' || fail "twenty: the log is not one whole line per run"
import json, sys
lines = open(sys.argv[1]).read().split("\n")
assert lines[-1] == "", "the log does not end with a line feed"
records = [json.loads(l) for l in lines[:-1]]
assert sorted(str(r["port"]) for r in records) == sorted(sys.argv[2:]), "not one line per port"
assert all(r["answer"] == "y" and r["clean_close"] for r in records), records
PY
[ "$failures" = "$before" ] && echo "ok: twenty swKicker runs at once"
stop_sims

# --- --count: ends once that many were served, letting open sessions finish ---
ports_sim count --ports 2 --count 2
sim_pid=${sim_pids[-1]}
before=$failures
ssh_client count-a "${ports[0]}"
ssh_client count-b "${ports[1]}"
asked count-a && asked count-b || fail "count: the two clients were not both asked"
kill -0 "$sim_pid" 2>/dev/null || fail "count: the simulator ended before its sessions did"
answer count-a
answer count-b
finished count-a && finished count-b || fail "count: a client did not finish"
for _ in $(seq 100); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$sim_pid" 2>/dev/null && fail "count: the simulator still runs after serving 2"
[ "$(wc -l <"$work/count.log")" = 2 ] || fail "count: $(wc -l <"$work/count.log") log lines"
[ "$failures" = "$before" ] && echo "ok: --count 2 over two ports"
stop_sims

# --- --lifetime: the end of the run ends a session that is never answered ---
run_sim life --ports 2 --lifetime 3 || fail "life: the simulator did not start"
mapfile -t ports <"$work/life.port"
before=$failures
ssh_client life "${ports[0]}"
asked life || fail "life: the client was not asked"
started=$(date +%s)
for _ in $(seq 150); do [ -s "$work/life.rc" ] && break; sleep 0.1; done
[ -s "$work/life.rc" ] || fail "life: the session outlived the simulator's lifetime by 15 s"
[ "$(cat "$work/life.rc" 2>/dev/null)" != 0 ] || fail "life: an unanswered session ended as a success"
sleep 0.5
pgrep -f -- "$sim --ports 2 --lifetime 3" >/dev/null && fail "life: a child of the simulator is still running"
[ "$failures" = "$before" ] && echo "ok: --lifetime ends open sessions ($(( $(date +%s) - started )) s after the question)"

# --- Refused: usage error, status 2, nothing listens ---
# Columns: name, then the options.
while read -r name options; do
  status=0
  # shellcheck disable=SC2086
  "$sim" $options >"$work/refused.out" 2>"$work/refused.err" </dev/null || status=$?
  if [ "$status" = 2 ] && [ ! -s "$work/refused.out" ] && grep -q usage "$work/refused.err"; then
    echo "ok: refused: $name"
  else
    fail "refused: $name: status $status, output $(cat "$work/refused.out")"
  fi
done <<'TABLE'
no-ports --ports 0
too-many --ports 4097
not-a-number --ports two
reboot --ports 2 --reboot-down-ms 100
reboot-one-port --ports 1 --reboot-down-ms 100
reboot-delay --ports 2 --reboot-delay-ms 100
new-key --ports 2 --reboot-new-key
stay-down --ports 2 --stay-down
print-key --ports 2 --print-public-key
past-last-port --port 65535 --ports 2
TABLE

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
