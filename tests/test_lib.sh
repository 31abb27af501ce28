# Helpers the shell tests source: tmux on a private socket, failures counted
# in $failures, the router simulator, and waiting for a pane.

# T ARGS...: tmux on the test's own server ($socket), with no configuration.
T() { tmux -L "$socket" -f /dev/null "$@"; }

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# start_sim PASSWORD LIFETIME: the router simulator ($sim) for user admin,
# logging to $work/router.log; its pid goes to $sim_pid, its port to $port.
# Ends the test when it does not start.
start_sim() {
  "$sim" --user admin --password "$1" --log "$work/router.log" \
    --lifetime "$2" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
  port=$(head -n 1 "$work/sim.out")
  [ -n "$port" ] || { echo "FAIL: the simulator did not start"; cat "$work/sim.err"; exit 1; }
}

# free_port: a loopback port that nothing listened on a moment ago.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# wait_for TEXT: until screen_text shows TEXT, at most $wait_for_tenths
# tenths of a second (300 unless the test sets it).
wait_for() {
  local i
  for i in $(seq "${wait_for_tenths:-300}"); do
    screen_text | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

# wait_end: the exit status in $status_file once the command has ended, at
# most $wait_end_tenths tenths of a second (300 unless the test sets it);
# "timeout" otherwise.
wait_end() {
  local i
  for i in $(seq "${wait_end_tenths:-300}"); do
    if [ -s "$status_file" ]; then
      cat "$status_file"
      return 0
    fi
    sleep 0.1
  done
  echo timeout
}
