#!/usr/bin/env bash
# The whole program in real tmux panes against the router simulator: the
# usage screen ended by a key, verbose and quiet reboots, a refused
# connection, Ctrl+C and Ctrl+\ during the closing pause, and the terminal
# modes after each run.
# Usage: program_tmux_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
own_system_ssh_config "$0" "$@"

program=$1
sim=$2
test_begin program-test
own_home
trap test_end EXIT
wait_end_tenths=400

start_sim 's3cret pw' 280

# A port nothing listens on: the simulator's port space minus one that was
# free a moment ago.
closed_port=$(free_port)

# mode_sim MODE: starts another simulator in that fault mode; its port goes
# to $mode_port.
mode_sim() {
  run_sim "sim-$1" --user admin --password 's3cret pw' --mode "$1" --lifetime 280 || true
  mode_port=$sim_port
}

tmux_keep 300
T set -g window-style 'fg=white,bg=blue'

# start CMD: runs CMD in a fresh 120x30 pane between two `stty -g`, timing
# it; the exit status lands in $status_file, the pane stays open afterwards.
start() {
  next_case
  stty_before="$work/stty-before.$case_number"
  stty_after="$work/stty-after.$case_number"
  seconds_file="$work/seconds.$case_number"
  T new-session -d -s "$pane" -x 120 -y 30 \
    "trap '' INT QUIT; stty -g > $stty_before; s=\$(date +%s.%N); ($1); r=\$?; \
     e=\$(date +%s.%N); stty -g > $stty_after; \
     awk \"BEGIN { print \$e - \$s }\" > $seconds_file; echo \$r > $status_file; exec sleep 300"
}

screen_text() { T capture-pane -p -t "$pane" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }

modes_kept() {
  cmp -s "$stty_before" "$stty_after" || fail "$1: terminal modes changed: $(cat "$stty_before") -> $(cat "$stty_after")"
}

# at_least SECONDS: the run took at least that long.
at_least() { awk -v t="$(cat "$seconds_file")" -v b="$1" 'BEGIN { exit !(t >= b) }'; }
at_most() { awk -v t="$(cat "$seconds_file")" -v b="$1" 'BEGIN { exit !(t <= b) }'; }

answers() { grep -c '"answer":"y"' "$work/router.log" 2>/dev/null || true; }

# first_contact_line PORT: the verbose line of a first contact with the
# simulator on PORT, with the fingerprint ssh-keygen gives for the key
# recorded, as the 120-column pane shows it (cut at the edge).
first_contact_line() {
  local fingerprint
  fingerprint=$(ssh-keygen -lf "$HOME/.ssh/known_hosts" -F "[127.0.0.1]:$1" | awk '!/^#/ { print $3 }')
  echo "permanently added '[127.0.0.1]:$1' (ED25519 key $fingerprint) to $HOME/.ssh/known_hosts" |
    fold -w 120
}

args_for() { echo "/user:admin '/pw:s3cret pw' /port:$1 /v:$2 /ip:127.0.0.1"; }

# --- A router that stalls 19 s at every step: started first, checked last ---
mode_sim stall
start "$program $(args_for "$mode_port" n)"
stall_pane=$pane stall_status=$status_file stall_seconds=$seconds_file

# --- The usage screen, in its colours, ended by a key ---
start "$program"
wait_for "press any key to quit" || fail "usage: no key prompt"
expected="$usage_screen


press any key to quit"
[ "$(screen_text)" = "$expected" ] || fail "usage: screen: $(screen_text)"
# Light cyan on black is ANSI 96 on 40; light grey on black 37 on 40.
example=$(T capture-pane -p -e -t "$pane" -S 2 -E 2)
[[ "$example" == *$'\e[96m'* || "$example" == *'96;40m'* || "$example" == *'40;96m'* ]] ||
  fail "usage: example line not light cyan: $(printf %q "$example")"
syntax=$(T capture-pane -p -e -t "$pane" -S 0 -E 0)
[[ "$syntax" == *'37'* && "$syntax" == *'40'* ]] || fail "usage: first line not light grey on black: $(printf %q "$syntax")"
[ -s "$status_file" ] && fail "usage: ended before a key"
T send-keys -t "$pane" x
[ "$(wait_end)" = 0 ] || fail "usage: exit status $(cat "$status_file")"
modes_kept usage

# --- A verbose reboot: banner, session lines, the closing pause ---
before=$(answers)
start "$program $(args_for "$port" y)"
# Other users can read the process list: the password is gone from it while
# the program still runs, the other values stay.
wait_for "done - quitting in 4 seconds" || fail "verbose: no closing line"
cmdline=$(tr '\0' ' ' < "/proc/$(pgrep -n -x swKicker)/cmdline" 2>/dev/null || true)
[[ "$cmdline" == *"/user:admin"* && "$cmdline" != *"s3cret"* ]] ||
  fail "verbose: process list shows: $cmdline"
[ "$(wait_end)" = 0 ] || fail "verbose: exit status $(cat "$status_file")"
expected="SWKicker v1.0

connecting to 127.0.0.1 and sending reboot command
$(first_contact_line "$port")
responding 'y' to question
disconnecting from 127.0.0.1
done - quitting in 4 seconds"
[ "$(screen_text)" = "$expected" ] || fail "verbose: screen: $(screen_text)"
at_least 4 || fail "verbose: ended before the 4 s pause ($(cat "$seconds_file") s)"
[ "$(answers)" = $((before + 1)) ] || fail "verbose: the router got no answer"
modes_kept verbose

# --- A quiet reboot prints nothing and ends without a pause ---
before=$(answers)
start "$program $(args_for "$port" n)"
[ "$(wait_end)" = 0 ] || fail "quiet: exit status $(cat "$status_file")"
[ -z "$(screen_text)" ] || fail "quiet: printed: $(screen_text)"
at_most 3.9 || fail "quiet: took $(cat "$seconds_file") s"
[ "$(answers)" = $((before + 1)) ] || fail "quiet: the router got no answer"
modes_kept quiet

# --- A refused connection: message and reason in both modes, pause, status 3 ---
for verbose in n y; do
  start "$program $(args_for "$closed_port" $verbose)"
  result=$(wait_end)
  [ "$result" = 3 ] || fail "refused ($verbose): exit status $result"
  screen_text | grep -qxF "Connection attempt failed. Error: 'invalid client'." ||
    fail "refused ($verbose): no message: $(screen_text)"
  screen_text | grep -qxF "Reason: the router refused the connection." ||
    fail "refused ($verbose): no reason: $(screen_text)"
  if [ $verbose = y ]; then
    at_least 8 || fail "refused (y): $(cat "$seconds_file") s, two pauses expected"
  else
    at_least 4 || fail "refused (n): $(cat "$seconds_file") s, one pause expected"
  fi
  modes_kept "refused ($verbose)"
done

# --- Ctrl+C and Ctrl+\ during the closing pause do not end the run ---
# With the terminal as standard input they are keys; with standard input
# elsewhere they are signals, which the program ignores while it runs.
for input in terminal null; do
  redirect=""
  [ $input = null ] && redirect="</dev/null"
  start "$program $(args_for "$port" y) $redirect"
  wait_for "done - quitting in 4 seconds" || fail "interrupt ($input): no closing line"
  T send-keys -t "$pane" C-c
  T send-keys -t "$pane" 'C-\'
  [ "$(wait_end)" = 0 ] || fail "interrupt ($input): exit status $(cat "$status_file")"
  at_least 4 || fail "interrupt ($input): ended after $(cat "$seconds_file") s"
  modes_kept "interrupt ($input)"
done

# --- A router that refuses the reboot after the answer: a failed reboot ---
mode_sim fail-after-answer
start "$program $(args_for "$mode_port" y)"
[ "$(wait_end)" = 8 ] || fail "router failure: exit status $(cat "$status_file")"
expected="SWKicker v1.0

connecting to 127.0.0.1 and sending reboot command
$(first_contact_line "$mode_port")
responding 'y' to question
disconnecting from 127.0.0.1
The reboot failed: the router reported exit status 1 (failure: not enough permissions).
done - quitting in 4 seconds"
[ "$(screen_text)" = "$expected" ] || fail "router failure: screen: $(screen_text)"
mode_sim signal-after-answer
start "$program $(args_for "$mode_port" n)"
[ "$(wait_end)" = 8 ] || fail "router killed: exit status $(cat "$status_file")"
[ "$(screen_text)" = "The reboot failed: the router reported signal KILL." ] ||
  fail "router killed: screen: $(screen_text)"

# --- Output ended before any question: the answer is not delivered ---
mode_sim eof-before-asking
start "$program $(args_for "$mode_port" n)"
[ "$(wait_end)" = 7 ] || fail "ended early: exit status $(cat "$status_file")"
expected="Sending the answer failed.
Reason: the router ended the session before asking."
[ "$(screen_text)" = "$expected" ] || fail "ended early: screen: $(screen_text)"

# --- Keyboard-interactive asking more than the password: refused, status 6 ---
mode_sim three-prompts
start "$program $(args_for "$mode_port" n)"
[ "$(wait_end)" = 6 ] || fail "three prompts: exit status $(cat "$status_file")"
expected="Connection attempt failed. Error: 'invalid client'.
Reason: the router asked for more than the password."
[ "$(screen_text)" = "$expected" ] || fail "three prompts: screen: $(screen_text)"

# --- Help and version on a terminal: the answer, status 0, no key wait ---
for help in --help -h -? /?; do
  start "$program '$help'"
  [ "$(wait_end)" = 0 ] || fail "help ($help): exit status $(cat "$status_file")"
  [ "$(screen_text)" = "$usage_screen" ] || fail "help ($help): screen: $(screen_text)"
  at_most 3.9 || fail "help ($help): took $(cat "$seconds_file") s"
  modes_kept "help ($help)"
done
for version in --version /version; do
  start "$program $version"
  [ "$(wait_end)" = 0 ] || fail "version ($version): exit status $(cat "$status_file")"
  screen_text | grep -qxE 'swKicker 1\.[0-9]+, libssh 0\.[0-9]+\.[0-9]+.*, Linux [a-z0-9_]+' ||
    fail "version ($version): screen: $(screen_text)"
  [ "$(screen_text | wc -l)" = 1 ] || fail "version ($version): more than one line"
done

# --- NO_COLOR: the pane's own colours (white on blue here), not the program's ---
for no_color in 1 ""; do
  start "NO_COLOR=$no_color $program $(args_for "$closed_port" n)"
  [ "$(wait_end)" = 3 ] || fail "NO_COLOR=$no_color: exit status $(cat "$status_file")"
  line=$(T capture-pane -p -e -t "$pane" -S 0 -E 0)
  if [ -n "$no_color" ]; then
    [[ "$line" != *'37'* && "$line" != *'40'* ]] ||
      fail "NO_COLOR=1: the program's colours: $(printf %q "$line")"
  else
    # An empty NO_COLOR is no request: light grey on black as always.
    [[ "$line" == *'37'* && "$line" == *'40'* ]] ||
      fail "NO_COLOR empty: not light grey on black: $(printf %q "$line")"
  fi
done

# --- The stalling router: the whole run ends at its bound, status 4 ---
pane=$stall_pane status_file=$stall_status seconds_file=$stall_seconds
[ "$(wait_end)" = 4 ] || fail "stall: exit status $(cat "$status_file")"
expected="Connection attempt failed. Error: 'invalid client'.
Reason: the router did not respond in time."
[ "$(screen_text)" = "$expected" ] || fail "stall: screen: $(screen_text)"
# 45 s for the session, then the 4 s failure pause.
at_most 55 || fail "stall: took $(cat "$seconds_file") s"

test_exit
echo "program in tmux: all checks passed"
