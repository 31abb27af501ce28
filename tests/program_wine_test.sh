#!/usr/bin/env bash
# swKicker.exe under Wine in real tmux panes against the (native) router
# simulator: the usage screen in its colours ended by a letter and by F1, a
# verbose reboot with its exact lines and the answer in the router's log, a
# connection that fails, and the password gone from the command line that
# another process reads out of the program's memory.
# Usage: program_wine_test.sh PATH_TO_swKicker.exe PATH_TO_swKicker-router-sim PATH_TO_process_watch.exe
# Needs WINEPREFIX (a prefix inside the build folder).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"

program=$(realpath "$1")
sim=$(realpath "$2")
watch=$(realpath "$3")
test_begin program-wine
wine_begin
trap test_end EXIT
wait_for_tenths=400
# (at most 90 s: a connection that times out takes the session's 45 s bound)
wait_end_tenths=900

start_sim 's3cret pw' 280
# No earlier run's known_hosts or configuration takes part.
wine_ssh_files_reset || { echo "FAIL: no Wine profile"; exit 1; }

# A port nothing listens on. Under Wine a connection there is mostly not
# refused but times out, so that case can take the session's 45 s bound.
closed_port=$(free_port)

tmux_keep 600
T set -g window-style 'fg=white,bg=blue'

# start CMD: runs CMD as the first thing in a fresh 120x30 pane (Wine's
# console starts at the pane's top left); the exit status lands in
# $status_file and the pane stays open afterwards.
# Every case here shows text. Now and then Wine starts a program with no
# console at all (seen about once in a few runs on a loaded machine); the
# program then rightly shows nothing and ends at once. Such a start is tried
# once more; a second one fails the case as usual.
start() {
  local try
  for try in 1 2; do
    next_case
    T new-session -d -s "$pane" -x 120 -y 30 -c "$work" \
      "trap '' INT QUIT; ($1); echo \$? > $status_file; exec sleep 600"
    local tenths=0
    while [ "$tenths" -lt 100 ] && [ ! -s "$status_file" ] && [ -z "$(screen_text)" ]; do
      sleep 0.1
      tenths=$((tenths + 1))
    done
    if [ "$try" -eq 1 ] && [ -s "$status_file" ] && [ -z "$(screen_text)" ]; then
      echo "note: case $case_number ended with nothing on the screen; starting it once more" >&2
      continue
    fi
    break
  done
}

screen_text() { T capture-pane -p -t "$pane" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }

answers() { grep -c '"answer":"y"' "$work/router.log" 2>/dev/null || true; }
args_for() { echo "/user:admin '/pw:s3cret pw' /port:$1 /v:$2 /ip:127.0.0.1"; }

# --- The usage screen, in its colours, ended by a letter and by F1 ---
for key in x F1; do
  start "wine '$program'"
  wait_for "press any key to quit" || fail "usage ($key): no key prompt"
  expected="$usage_screen


press any key to quit"
  [ "$(screen_text)" = "$expected" ] || fail "usage ($key): screen: $(screen_text)"
  # Light cyan is SGR 96; Wine draws light grey on black in the pane's own
  # default colours, so the other rows carry no colour code.
  example=$(T capture-pane -p -e -N -t "$pane" -S 2 -E 2)
  [[ "$example" == *$'\e[96mexample: swKicker'* ]] ||
    fail "usage ($key): example line not light cyan: $(printf %q "$example")"
  following=$(T capture-pane -p -e -N -t "$pane" -S 3 -E 3)
  [[ "$following" != *$'\e[96m'* ]] ||
    fail "usage ($key): cyan runs on: $(printf %q "$following")"
  sleep 0.5
  [ -s "$status_file" ] && fail "usage ($key): ended before a key"
  T send-keys -t "$pane" "$key"
  [ "$(wait_end)" = 0 ] || fail "usage ($key): exit status $(cat "$status_file")"
done

# --- /? in the console: the usage, no key wait; NO_COLOR: no light cyan ---
start "NO_COLOR=1 wine '$program' '/?'"
[ "$(wait_end)" = 0 ] || fail "help: exit status $(cat "$status_file")"
[ "$(screen_text)" = "$usage_screen" ] || fail "help: screen: $(screen_text)"
example=$(T capture-pane -p -e -N -t "$pane" -S 2 -E 2)
[[ "$example" != *$'\e[96m'* ]] || fail "NO_COLOR: the example line is light cyan"
start "wine '$program' --version"
[ "$(wait_end)" = 0 ] || fail "version: exit status $(cat "$status_file")"
screen_text | grep -qxE 'swKicker 1\.[0-9]+, libssh 0\.[0-9]+\.[0-9]+.*, Windows x86_64' ||
  fail "version: screen: $(screen_text)"

# --- A verbose reboot: banner, session lines, the closing pause ---
before=$(answers)
start "wine '$program' $(args_for "$port" y)"
[ "$(wait_end)" = 0 ] || fail "verbose: exit status $(cat "$status_file")"
# The first contact: the key recorded in the profile's known_hosts, named
# with the fingerprint ssh-keygen gives for it, and the file's Windows name.
fingerprint=$(ssh-keygen -lf "$wine_user_ssh/known_hosts" -F "[127.0.0.1]:$port" | awk '!/^#/ { print $3 }')
profile=$(wine cmd /c 'echo %USERPROFILE%' 2>/dev/null | tr -d '\r')
added="permanently added '[127.0.0.1]:$port' (ED25519 key $fingerprint) to $profile\\.ssh\\known_hosts"
expected="SWKicker v1.0

connecting to 127.0.0.1 and sending reboot command
$(fold -w 120 <<<"$added")
responding 'y' to question
disconnecting from 127.0.0.1
done - quitting in 4 seconds"
[ "$(screen_text)" = "$expected" ] || fail "verbose: screen: $(screen_text)"
[ "$(answers)" = $((before + 1)) ] || fail "verbose: the router logged no answer"

# --- The password is gone from the command line others can read ---
# The watcher reads the program's command line out of its process memory,
# where Windows process listers read it, during the closing pause.
report="$work/report.password"
start "wine '$watch' '$(winpath "$report")' 2500 '\"$(winpath "$program")\" $(args_for "$port" y | tr "'" '"')'"
[ "$(wait_end)" = 0 ] || fail "password: watcher failed"
seen=$(sed -n 's/^command-line //p' "$report")
[[ "$seen" == *"/user:admin"* && "$seen" == *"/pw:"* && "$seen" != *"s3cret"* ]] ||
  fail "password: other processes see: $seen"
grep -qx "status 0" "$report" || fail "password: $(grep status "$report")"

# --- A connection that fails: message, reason, status ---
# Under Wine a closed loopback port mostly ends in the connect timeout
# (status 4); when Wine does refuse it, libssh's Windows build words the
# socket error "Unknown error", which is no refusal it can name (status 1).
start "wine '$program' $(args_for "$closed_port" n)"
result=$(wait_end)
case "$result" in
  1 | 3 | 4) ;;
  *) fail "failed connection: exit status $result" ;;
esac
screen_text | grep -qxF "Connection attempt failed. Error: 'invalid client'." ||
  fail "failed connection: no message: $(screen_text)"
screen_text | grep -q "^Reason: " || fail "failed connection: no reason: $(screen_text)"

# --- A router that shares no algorithm: status 9 and the lines to add ---
# The user's configuration allows only a key exchange the simulator does not
# offer; the reason names the Windows path of the file to put the line in.
printf 'Host 127.0.0.1\r\n  KexAlgorithms diffie-hellman-group1-sha1\r\n' >"$wine_user_ssh/config"
start "wine '$program' $(args_for "$port" n)"
result=$(wait_end)
[ "$result" = 9 ] || fail "no shared algorithm: exit status $result"
joined=$(screen_text | tr -d '\n')
[[ "$joined" == *"Reason: the router offers only key exchanges ("*"); to allow them for this router, add to %USERPROFILE%\.ssh\config: Host 127.0.0.1 / KexAlgorithms +"*"." ]] ||
  fail "no shared algorithm: reason: $joined"
: >"$wine_user_ssh/config"

# --- A fleet: the progress line in place, the finished lines, the summary,
#     the report ---
# Three quick routers, and one whose every step takes 1.5 s, so that the
# progress line stays on the console a while.
fleet_lines=("# a fleet on the simulators" "/user:admin '/pw:s3cret pw' /port:$port /ip:127.0.0.1")
for i in 1 2; do
  run_sim "quick$i" --user admin --password 's3cret pw' --lifetime 280 --log "$work/quick$i.log" ||
    fail "fleet: simulator $i did not start"
  fleet_lines+=("/user:admin '/pw:s3cret pw' /port:$sim_port /ip:127.0.0.1")
done
run_sim slow --user admin --password 's3cret pw' --lifetime 280 --mode stall --stall-ms 1500 ||
  fail "fleet: the slow simulator did not start"
slow_port=$sim_port
fleet_lines+=("/user:admin '/pw:s3cret pw' /port:$slow_port /ip:127.0.0.1")
printf '%s\r\n' "${fleet_lines[@]}" | sed "s/'/\"/g" >"$work/fleet.list"
chmod 600 "$work/fleet.list"
before=$(answers)
start "wine '$program' '/list:$(winpath "$work/fleet.list")' '/report:$(winpath "$work/fleet.csv")'"
wait_for "3 done, 0 failed, 1 running" || fail "fleet: no progress line: $(screen_text)"
progress=$(screen_text | tail -n 1)
[[ "$progress" =~ ^rebooting\ 4\ routers:\ 3\ done,\ 0\ failed,\ 1\ running,\ 0:0[0-9]$ ]] ||
  fail "fleet: the last row is not the progress line: $progress"
[ "$(wait_end)" = 0 ] || fail "fleet: exit status $(cat "$status_file")"
shown=$(screen_text | paste -sd '|')
[[ "$shown" =~ ^SWKicker\ v1\.0\|\|(127\.0\.0\.1:[0-9]+\ rebooted\ [0-9.]+\ s\|){3}127\.0\.0\.1:$slow_port\ rebooted\ [0-9.]+\ s\|4\ rebooted,\ 0\ failed\ in\ 0:[0-9]{2}\|done\ -\ quitting\ in\ 4\ seconds$ ]] ||
  fail "fleet: screen: $(screen_text)"
[ "$(answers)" = $((before + 1)) ] || fail "fleet: the first router logged no answer"
for p in $(grep -o '/port:[0-9]*' "$work/fleet.list" | cut -d: -f2); do
  tr -d '\r' <"$work/fleet.csv" | grep -q "^[2-5],127\.0\.0\.1,$p,admin,0,rebooted,,[0-9.]*," ||
    fail "fleet: no report row for port $p: $(cat "$work/fleet.csv")"
done
[ "$(grep -c $'\r$' "$work/fleet.csv")" = 5 ] || fail "fleet: report: $(cat "$work/fleet.csv")"

# --- Safe runs in the console: /down:1 on rebooting simulators (from their
# own logs, never two down at once), then Ctrl+C once and twice: the first
# stops new starts, the second ends the wait; the report and the routers'
# logs agree, and the run ends with 130.
# rebooting NAME COUNT: COUNT simulators that go down 0.3 s after the answer
# for DOWN_MS (default 1500), logs $work/NAME1.log..., list $work/NAME.list.
rebooting() {
  local i lines=()
  for i in $(seq "$2"); do
    run_sim "$1$i" --user admin --password 's3cret pw' --lifetime 280 --log "$work/$1$i.log" \
      --reboot-delay-ms 300 --reboot-down-ms "${DOWN_MS:-1500}" || fail "$1$i did not start"
    lines+=("/user:admin \"/pw:s3cret pw\" /port:$sim_port /ip:127.0.0.1")
  done
  printf '%s\r\n' "${lines[@]}" >"$work/$1.list"
  chmod 600 "$work/$1.list"
}
rebooting down 3
start "wine '$program' '/list:$(winpath "$work/down.list")' /jobs:3 /wait:30 /down:1 /v:n"
[ "$(wait_end)" = 0 ] || fail "/down:1: exit status $(cat "$status_file"): $(screen_text)"
[ "$(most_down down1 down2 down3)" = 1 ] ||
  fail "/down:1: $(most_down down1 down2 down3) routers were down at once"
[ "$failures" = 0 ] && echo "ok: /down:1 under Wine"

for presses in 1 2; do
  DOWN_MS=4000 rebooting "int$presses" 3
  start "wine '$program' '/list:$(winpath "$work/int$presses.list")' /jobs:3 /wait:30 /down:1 '/report:$(winpath "$work/int$presses.csv")'"
  wait_for "1 down, 2 waiting" || fail "interrupt $presses: no router down: $(screen_text)"
  T send-keys -t "$pane" C-c
  wait_for "stopping: 1 router in flight, Ctrl+C again to stop waiting" ||
    fail "interrupt $presses: no stopping line: $(screen_text)"
  first="0,rebooted"
  summary="1 rebooted, 0 failed"
  if [ "$presses" = 2 ]; then
    T send-keys -t "$pane" C-c
    first="15,not confirmed"
    summary="0 rebooted, 1 failed"
  fi
  [ "$(wait_end)" = 130 ] || fail "interrupt $presses: exit status $(cat "$status_file"): $(screen_text)"
  [ "$(csv_head 6 <"$work/int$presses.csv" | cut -d, -f1,5,6 | sort | paste -sd '|')" = \
    "1,$first|2,14,not started|3,14,not started|line,exit status,outcome" ] ||
    fail "interrupt $presses: report: $(cat "$work/int$presses.csv")"
  [ "$(cat "$work/int${presses}2.log" "$work/int${presses}3.log" 2>/dev/null | grep -c '"user"')" = 0 ] ||
    fail "interrupt $presses: a router not started was contacted"
  screen_text | grep -qE "^$summary, 2 not started in 0:[0-9]{2}; halted: stopped by SIGINT$" ||
    fail "interrupt $presses: summary: $(screen_text)"
done
[ "$failures" = 0 ] && echo "ok: Ctrl+C in the Wine console, once and twice; exit 130"

test_exit
echo "swKicker.exe under Wine: all checks passed"
