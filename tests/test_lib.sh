# Helpers the shell tests source: the test's own folder, HOME and tmux
# server, failures counted in $failures, router simulators in $work, cases in
# tmux panes and waiting for them, and Wine's setup.

# test_begin NAME: what every test starts with: text in C.UTF-8 (no LC_ALL
# overriding it), its own folder $work, the name of its own tmux server
# ($socket, "swk-NAME-PID") and no failure yet.
test_begin() {
  export LANG=C.UTF-8
  unset LC_ALL
  work=$(mktemp -d)
  socket="swk-$1-$$"
  failures=0
}

# own_home: HOME inside $work, so that no known_hosts or configuration of the
# user's takes part: the test's routers are unknown to the program.
own_home() {
  export HOME="$work/home"
  mkdir -p "$HOME"
}

# test_end: stops what the helpers here started (the tmux server, the
# simulators) and removes $work. A test with more to stop calls it last in
# its own cleanup.
test_end() {
  tmux_end
  stop_sims
  rm -rf "$work"
}

# test_exit: the test's verdict, at its end: fails it when a check failed.
test_exit() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
  fi
}

# wine_begin: for a test under Wine, with the prefix in WINEPREFIX (which
# must be set; the tests keep it inside the build folder): no debug output
# and no display, and one wineserver kept up for the whole test, so each
# start takes a fraction of a second. (Starting it fails when one is already
# running for the prefix, which is as good.)
wine_begin() {
  : "${WINEPREFIX:?set WINEPREFIX to a Wine prefix in the build folder}"
  export WINEPREFIX WINEDEBUG=-all
  unset DISPLAY
  wineserver -p || true
}

# winpath PATH: the Windows name Wine gives a Unix path (drive Z: is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# T ARGS...: tmux on the test's own server ($socket), with no configuration.
T() { tmux -L "$socket" -f /dev/null "$@"; }

# tmux_end: stops the test's tmux server and removes its socket file.
tmux_end() {
  T kill-server 2>/dev/null || true
  rm -f "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)/$socket"
}

# tmux_keep SECONDS: a small session that keeps the test's tmux server up
# between the cases, for at most SECONDS.
tmux_keep() { T new-session -d -s keep -x 20 -y 5 "exec sleep $1"; }

# next_case: names the next case's pane ($pane, "cN") and the file where the
# case's exit status lands ($status_file).
next_case() {
  case_number=$((${case_number:-0} + 1))
  pane="c$case_number"
  status_file="$work/status.$case_number"
}

# screen_text: what the case's pane shows, as wait_for reads it. A test that
# reads its screen otherwise defines its own after sourcing this file.
screen_text() { T capture-pane -p -t "$pane"; }

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

sim_pids=()

# run_sim NAME ARGS...: a router simulator ($sim) started with ARGS, printing
# its port into $work/NAME.port and its errors into $work/NAME.err; its pid
# joins $sim_pids (stop_sims ends them all) and its port goes to $sim_port;
# an entry for that port in the test's own known_hosts is removed. Fails when
# it has not started within 10 s.
run_sim() {
  local name=$1
  shift
  "$sim" "$@" >"$work/$name.port" 2>"$work/$name.err" &
  sim_pids+=($!)
  for _ in $(seq 100); do [ -s "$work/$name.port" ] && break; sleep 0.1; done
  sim_port=$(head -n 1 "$work/$name.port")
  [ -n "$sim_port" ] || return 1
  # A new simulator is a new router: a key an earlier one left for the same
  # port (the system hands out freed ports again) is forgotten, in the
  # test's own known_hosts files only (a HOME inside $work, the Wine
  # profile's after wine_ssh_files_reset).
  local file
  for file in "$HOME/.ssh/known_hosts" "${wine_user_ssh:-}/known_hosts"; do
    case "$file" in "$work"/* | "${WINEPREFIX:-/nonexistent}"/*) ;; *) continue ;; esac
    if [ -f "$file" ]; then
      ssh-keygen -R "[127.0.0.1]:$sim_port" -f "$file" >/dev/null 2>&1 || true
    fi
  done
  return 0
}

stop_sims() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}

# start_sim PASSWORD LIFETIME [ARGS...]: the test's router simulator for user
# admin, logging to $work/router.log; its port goes to $port. Ends the test
# when it does not start.
start_sim() {
  local password=$1 lifetime=$2
  shift 2
  run_sim router --user admin --password "$password" --log "$work/router.log" \
    --lifetime "$lifetime" "$@" ||
    { echo "FAIL: the simulator did not start"; cat "$work/router.err"; exit 1; }
  port=$sim_port
}

# free_port: a loopback port that nothing listened on a moment ago.
# The system may hand one port out twice in a row, so a test that takes
# several (one per router of a list) is never given the same one again:
# the ports given are kept in $work when the test has one.
free_port() {
  local port given="${work:-}/.free_ports"
  for _ in $(seq 20); do
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    [ -n "${work:-}" ] && [ -d "$work" ] || break
    grep -qx "$port" "$given" 2>/dev/null && continue
    echo "$port" >>"$given"
    break
  done
  echo "$port"
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

# most_down NAME...: the most simulated routers down at once, from the down
# and back events in their logs $work/NAME.log (a back before a down at the
# same ms).
most_down() {
  local name
  for name in "$@"; do
    sed -n 's/^{"event":"down","ms":\([0-9]*\)}$/\1 1/p; s/^{"event":"back","ms":\([0-9]*\)}$/\1 0/p' \
      "$work/$name.log"
  done | sort -n -k1,1 -k2,2 |
    awk '{ n += ($2 == 1) ? 1 : -1; if (n > m) m = n } END { print m + 0 }'
}

# csv_head N: the CSV on standard input (a report), each record cut to its
# first N fields and written back as it stood (quoted where it must be),
# one a line.
csv_head() {
  python3 -c '
import csv, sys
out = csv.writer(sys.stdout, lineterminator="\n")
for record in csv.reader(sys.stdin, strict=True):
    out.writerow(record[:int(sys.argv[1])])' "$1"
}

# sshd_router DIR USER PASSWORD: as root, a throwaway USER (home DIR) with
# PASSWORD, an ed25519 host key DIR/host_key and the forced command
# DIR/ask.sh, which records the command asked for in DIR/out/command, asks
# "Reboot now? [y/N]: " and records the answer in DIR/out/answer.
sshd_router() {
  local dir=$1 name=$2 password=$3
  mkdir -p "$dir/out" /run/sshd
  chmod 755 "$(dirname "$dir")" "$dir"
  useradd -M -s /bin/sh -d "$dir" "$name"
  printf '%s:%s\n' "$name" "$password" | chpasswd
  chown "$name" "$dir/out"
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
  cat >"$dir/ask.sh" <<ASK
#!/bin/sh
printf '%s\n' "\$SSH_ORIGINAL_COMMAND" > $dir/out/command
printf 'Reboot now? [y/N]: '
read -r answer
printf '%s\n' "\$answer" > $dir/out/answer
printf 'rebooting\n'
ASK
  chmod 755 "$dir/ask.sh"
}

# sshd_router_config DIR USER PORTS HOST_KEY: DIR/sshd_config for sshd on
# 127.0.0.1 at each of PORTS (separated by spaces; one process listens on
# at most 16) with HOST_KEY, pid file DIR/sshd.pid, password login for USER
# only, every login running DIR/ask.sh, and room for many logins at once.
sshd_router_config() {
  local dir=$1 name=$2 ports=$3 key=$4 p
  {
    for p in $ports; do echo "ListenAddress 127.0.0.1:$p"; done
    cat <<CONF
HostKey $key
PidFile $dir/sshd.pid
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
UsePAM no
PermitRootLogin no
StrictModes no
MaxStartups 200
AllowUsers $name
ForceCommand $dir/ask.sh
CONF
  } >"$dir/sshd_config"
}

# wine_ssh_files_reset: the Windows program's SSH files in the Wine prefix,
# emptied so that no earlier run's known_hosts or configuration takes part:
# $wine_user_ssh (%USERPROFILE%\.ssh, made empty) and $wine_system_config
# (%ProgramData%\ssh\ssh_config, made empty). Wants WINEPREFIX.
wine_ssh_files_reset() {
  local profile data
  profile=$(wine cmd /c 'echo %USERPROFILE%' 2>/dev/null | tr -d '\r')
  data=$(wine cmd /c 'echo %ProgramData%' 2>/dev/null | tr -d '\r')
  wine_user_ssh="$(winepath -u "$profile" 2>/dev/null)/.ssh"
  wine_system_config="$(winepath -u "$data" 2>/dev/null)/ssh/ssh_config"
  case "$wine_user_ssh" in "$WINEPREFIX"/*) ;; *) echo "no profile in the prefix" >&2; return 1 ;; esac
  rm -rf "$wine_user_ssh"
  mkdir -p "$wine_user_ssh" "$(dirname "$wine_system_config")"
  : >"$wine_system_config"
}

# own_system_ssh_config "$0" "$@": as root, runs the test again in a private
# mount namespace where an empty file stands for /etc/ssh/ssh_config, so the
# program reads the test's own configuration and no other process sees it.
# Without root (or unshare) the machine's file is read.
own_system_ssh_config() {
  [ "$(id -u)" -eq 0 ] && [ -z "${SWK_OWN_SSH_CONFIG:-}" ] && [ -e /etc/ssh/ssh_config ] ||
      return 0
  unshare -m true 2>/dev/null || return 0
  SWK_OWN_SSH_CONFIG=$(mktemp)
  export SWK_OWN_SSH_CONFIG
  exec unshare -m bash -c 'mount --make-rprivate / &&
      mount --bind "$SWK_OWN_SSH_CONFIG" /etc/ssh/ssh_config &&
      rm -f "$SWK_OWN_SSH_CONFIG" && exec bash "$@"' bash "$@"
}

# run_in_pty NAME PROGRAM ARGS...: PROGRAM in a pseudo-terminal, with no
# input; its lines (carriage returns removed) in $work/NAME.out, its status
# in $status, its time in $seconds.
run_in_pty() {
  local name=$1
  shift
  local start end
  start=$(date +%s.%N)
  status=0
  script -qec "$(printf '%q ' "$@")" /dev/null </dev/null |
    tr -d '\r' >"$work/$name.out" || status=$?
  end=$(date +%s.%N)
  seconds=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }')
}

# The usage text as a 120-column screen shows it (help, or the bare command
# before its key prompt), its long lines broken at spaces.
usage_screen="syntax:
swKicker /user:(user name) /pw:(password) /port:(port) /v:(use verbose: y or n) /ip:(ip address of router)
example: swKicker /user:admin /pw:yourSecret /port:22 /v:y /ip:192.168.88.1
verbose=n will produce no console output
Same order is required!

/wait:(seconds, 1 to 3600) as a sixth option waits until the router has rebooted and serves SSH again
a fleet: swKicker /list:(file, one router per line: /user:... /pw:... /port:... /ip:...) [/v:y|n] [/jobs:(1 to 256)]
[/report:(CSV file)] [/wait:(seconds)] [/down:N] [/maxfail:N|P%] [/until:HH:MM] [/check:y] [/retry:(file)]; a line of
--- ends a group
exit status: 0 done, 1 options or other failure, 2 name not resolved, 3 refused, 4 timed out, 5 host key refused, 6
login refused, 7 answer not delivered, 8 router reported a failure, 9 no shared algorithm, 10 a router of the fleet
failed, 11 not down, 12 not back, 13 report or retry list not written whole, 14 fleet halted, 128+N stopped by signal N
--help shows this text, --version the version"
