#!/usr/bin/env bash
# The program run from a real interactive bash in tmux, keys sent as a person
# types or pastes them: what the program does not use reaches the shell.
# Type-ahead after a quiet run, a pasted three-line script with the program
# in the middle (quiet and verbose), the usage screen ended by a key with
# more keys behind it, the usage screen with all output redirected, and
# Ctrl+Z then `fg` with standard input not the terminal.
# Usage: shell_tmux_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
own_system_ssh_config "$0" "$@"

program=$1
sim=$2
test_begin shell-test
own_home
trap test_end EXIT

start_sim 's3cret pw' 280
closed_port=$(free_port)

args_for() { echo "/user:admin '/pw:s3cret pw' /port:$1 /v:$2 /ip:127.0.0.1"; }
answers() { grep -c '"answer":"y"' "$work/router.log" 2>/dev/null || true; }

tmux_keep 300

# shell: a fresh 120x30 pane with an interactive bash at a "$ " prompt.
shell() {
  next_case
  pane="s$case_number"
  T new-session -d -s "$pane" -x 120 -y 30 \
    "env -i HOME=$HOME LANG=$LANG PATH=/usr/bin:/bin TERM=screen PS1='\$ ' HISTFILE=/dev/null bash --norc --noprofile -i"
  wait_for_prompt 1 || fail "$pane: no prompt"
}

prompts() { screen_text | grep -c '^\$ *$' || true; }

# wait_for TEXT: until a whole line of the pane is TEXT (at most 30 s).
wait_for() {
  for _ in $(seq 300); do
    screen_text | grep -qxF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

# wait_for_prompt N: until N empty prompts show, the last on the cursor row.
wait_for_prompt() {
  for _ in $(seq 300); do
    if [ "$(prompts)" -ge "$1" ] &&
       [ "$(T display -p -t "$pane" '#{cursor_x}')" = 2 ]; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

pane_flag() { T display -p -t "$pane" "#{$1}"; }
pane_modes() { stty -F "$(T display -p -t "$pane" '#{pane_tty}')" -g; }

# --- A quiet run, and a command typed while it runs: the command runs ---
shell
before=$(answers)
T send-keys -t "$pane" -l "$program $(args_for "$port" n)"
T send-keys -t "$pane" Enter
T send-keys -t "$pane" -l 'echo TYPE''AHEAD'
T send-keys -t "$pane" Enter
wait_for TYPEAHEAD || fail "quiet + typed: the typed command did not run: $(screen_text)"
[ "$(answers)" = $((before + 1)) ] || fail "quiet + typed: the router got no answer"

# --- A pasted script with the program in the middle: all three lines run ---
for verbose in n y; do
  shell
  before=$(answers)
  T send-keys -t "$pane" -l "echo ON""E
$program $(args_for "$port" $verbose)
echo THR""EE
"
  wait_for THREE || fail "paste ($verbose): the third line did not run: $(screen_text)"
  wait_for ONE || fail "paste ($verbose): the first line did not run"
  [ "$(answers)" = $((before + 1)) ] || fail "paste ($verbose): the router got no answer"
  if [ $verbose = y ]; then
    # The line was read to find the cursor's answer and given back: it runs
    # after the program, not in its place.
    screen_text | grep -A1 -xF 'done - quitting in 4 seconds' | tail -n 1 |
      grep -qxF '$ echo THREE' || fail "paste (y): order: $(screen_text)"
  fi
  [ "$(pane_flag wrap_flag)" = 1 ] || fail "paste ($verbose): line-wrap left off"
done

# --- The usage screen ended by a key, more keys right behind it ---
shell
T send-keys -t "$pane" -l "$program"
T send-keys -t "$pane" Enter
wait_for "press any key to quit" || fail "usage: no key prompt"
T send-keys -t "$pane" -l 'xecho TY''PED'
T send-keys -t "$pane" Enter
wait_for TYPED || fail "usage: the shell did not get 'echo TYPED': $(screen_text)"
screen_text | grep -q 'xecho' && fail "usage: the key that ended the wait reached the shell"
[ "$(pane_flag wrap_flag)" = 1 ] || fail "usage: line-wrap left off"

# --- The usage screen with all output redirected: plain text, no key wait ---
shell
T send-keys -t "$pane" -l "$program > $work/usage.out 2>&1; echo STATUS=\$?"
T send-keys -t "$pane" Enter
wait_for STATUS=0 || fail "redirected usage: waited for a key: $(screen_text)"
head -n 1 "$work/usage.out" | grep -qx 'syntax:' || fail "redirected usage: file: $(cat "$work/usage.out")"
if grep -q -e 'press any key' -e $'\e' "$work/usage.out"; then
  fail "redirected usage: a key prompt or escape bytes in the file"
fi

# --- Ctrl+Z with standard input not the terminal, then fg ---
# A refused connection in verbose mode pauses twice with a line between:
# stopped in the first pause, continued, the second line must land below
# the shell's own lines, with the program's modes while it runs.
shell
idle_modes=$(pane_modes)
T send-keys -t "$pane" -l "$program $(args_for "$closed_port" y) < /dev/null"
T send-keys -t "$pane" Enter
wait_for "Connection attempt failed. Error: 'invalid client'." || fail "stop: no failure line"
sleep 0.5
[ "$(pane_flag wrap_flag)" = 0 ] || fail "stop: line-wrap not off while running"
T send-keys -t "$pane" C-z
for _ in $(seq 100); do screen_text | grep -q 'Stopped' && break; sleep 0.1; done
screen_text | grep -q 'Stopped' || fail "stop: Ctrl+Z did not stop the program: $(screen_text)"
wait_for_prompt 1 || fail "stop: no prompt while stopped"
[ "$(pane_flag wrap_flag)" = 1 ] || fail "stop: line-wrap off while stopped"
[ "$(pane_modes)" = "$idle_modes" ] || fail "stop: modes while stopped: $(pane_modes)"
T send-keys -t "$pane" -l 'fg; echo STATUS=$?'
T send-keys -t "$pane" Enter
wait_for "done - quitting in 4 seconds" || fail "continue: the run did not go on"
[ "$(pane_flag wrap_flag)" = 0 ] || fail "continue: line-wrap not off again"
stty -F "$(T display -p -t "$pane" '#{pane_tty}')" -a | grep -q -- '-icanon' ||
  fail "continue: the program's modes were not applied again"
# The line comes after what the shell printed while the program was stopped.
screen_text | grep -B3 -xF 'done - quitting in 4 seconds' | grep -q '^\$ fg; echo STATUS=\$?$' ||
  fail "continue: line not below the shell's: $(screen_text)"
# The run ends (a refused connection has an exit status of its own).
for _ in $(seq 300); do screen_text | grep -qE '^STATUS=[1-9][0-9]*$' && break; sleep 0.1; done
screen_text | grep -qE '^STATUS=[1-9][0-9]*$' || fail "continue: the run did not end: $(screen_text)"
[ "$(pane_flag wrap_flag)" = 1 ] || fail "continue: line-wrap left off at the end"
wait_for_prompt 1 || fail "continue: no prompt at the end"
[ "$(pane_modes)" = "$idle_modes" ] || fail "continue: modes at the end: $(pane_modes)"

test_exit
echo "program from bash in tmux: all checks passed"
