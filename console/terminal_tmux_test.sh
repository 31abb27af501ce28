#!/usr/bin/env bash
# The console driver in real tmux panes whose own colours are white on blue:
# wrapping, scrolling into the history, colours, the keys that end a wait,
# interrupts during a pause, terminal modes after the run, and output with
# standard output redirected or no terminal at all.
# Usage: terminal_tmux_test.sh PATH_TO_console_driver
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/test_lib.sh"

driver=$1
test_begin console-test
# Waits for the screen and for the end take at most 20 s.
wait_for_tenths=200
wait_end_tenths=200

trap test_end EXIT

tmux_keep 300
T set -g window-style 'fg=white,bg=blue'
T set -g history-limit 100

# start CMD: runs CMD in a fresh 20x5 pane; its exit status lands in
# $work/status.N and the pane stays open, unchanged, afterwards. The shells
# around CMD ignore Ctrl+C and Ctrl+\ (when the terminal makes signals of
# them); the driver gets them with their default action.
start() {
  next_case
  T new-session -d -s "$pane" -x 20 -y 5 \
    "trap '' INT QUIT; ($1); echo \$? > $status_file; exec sleep 300"
}

# driver_pid: the driver running in the pane (the pane's shell leads its
# session).
driver_pid() { pgrep -s "$(T display -p -t "$pane" '#{pane_pid}')" -x console_driver; }

# --- Lines wrap at the right edge and scroll into the history ---
start "$driver screen"
[ "$(wait_end)" = 0 ] || fail "screen: exit status"
expected=$'uvwxyz\na\u240ab\u2409c\ncyan\nlast'
[ "$(screen_text)" = "$expected" ] || fail "screen: rows: $(screen_text)"
[ "$(T display -p -t "$pane" '#{history_size}')" = 2 ] || fail "screen: history size"
[ "$(T capture-pane -p -t "$pane" -S -2 -E -1)" = $'first\nabcdefghijklmnopqrst' ] ||
  fail "screen: history: $(T capture-pane -p -t "$pane" -S -2 -E -1)"
[ "$(T display -p -t "$pane" '#{cursor_x},#{cursor_y}')" = 0,4 ] || fail "screen: cursor"
# Light grey on black in a white-on-blue pane, also on the row the last
# scroll opened.
for row in 0 1 4; do
  line=$(T capture-pane -p -e -N -t "$pane" -S $row -E $row)
  case "$line" in
    $'\e[37m\e[40m'*) ;;
    *) fail "screen: colours of row $row: $(printf %q "$line")" ;;
  esac
done
line=$(T capture-pane -p -e -N -t "$pane" -S 2 -E 2)
case "$line" in
  $'\e[96m\e[40mcyan'*) ;;
  *) fail "screen: light cyan: $(printf %q "$line")" ;;
esac

# --- Each printed line reaches the terminal in one write() ---
if strace -o /dev/null true 2>/dev/null; then
  start "strace -e trace=write -o $work/trace $driver screen"
  [ "$(wait_end)" = 0 ] || fail "writes: exit status"
  # Start-up, five lines, and the restore at the end.
  writes=$(grep -c '^write(1,' "$work/trace" || true)
  [ "$writes" = 7 ] || fail "writes: $writes write() calls, expected 7"
else
  echo "strace cannot trace here: write count not checked"
fi

# --- WaitKey ends on a letter, F1 and Ctrl+C; the modes come back ---
for key in "-l a" F1 C-c; do
  start "stty -g > $work/before; $driver wait; s=\$?; stty -g > $work/after; exit \$s"
  wait_for waiting || fail "wait $key: no prompt"
  T send-keys -t "$pane" $key
  wait_for done || fail "wait $key: the key did not end the wait"
  [ "$(wait_end)" = 0 ] || fail "wait $key: exit status"
  cmp -s "$work/before" "$work/after" || fail "wait $key: stty -g changed"
done

# --- A key typed during the pause before the wait ends it ---
start "$driver sleep 1500 && $driver wait"
wait_for sleeping || fail "type-ahead: no pause"
T send-keys -t "$pane" -l x
wait_for done || fail "type-ahead: the key typed earlier did not count"
[ "$(wait_end)" = 0 ] || fail "type-ahead: exit status"

# --- Ctrl+C, Ctrl+\ and a hang-up during a pause do not end the run ---
for input in terminal /dev/null; do
  redirect=""
  [ "$input" = /dev/null ] && redirect="< /dev/null"
  start "stty -g > $work/before; (trap - INT QUIT; exec $driver sleep 3000 $redirect); s=\$?; stty -g > $work/after; exit \$s"
  wait_for sleeping || fail "interrupts ($input): no pause"
  T send-keys -t "$pane" C-c 'C-\'
  kill -HUP "$(driver_pid)" || fail "interrupts ($input): no driver to signal"
  wait_for slept || fail "interrupts ($input): the pause was cut"
  [ "$(wait_end)" = 0 ] || fail "interrupts ($input): exit status"
  cmp -s "$work/before" "$work/after" || fail "interrupts ($input): stty -g changed"
done

# --- Ended by SIGTERM, the terminal is still given back ---
start "stty -g > $work/before; $driver wait; stty -g > $work/after"
wait_for waiting || fail "sigterm: no prompt"
kill -TERM "$(driver_pid)"
wait_end > /dev/null
cmp -s "$work/before" "$work/after" || fail "sigterm: stty -g changed"

# --- Standard output into a file: the text shows through standard error ---
start "$driver hello > $work/out"
[ "$(wait_end)" = 0 ] || fail "redirect: exit status"
wait_for hello || fail "redirect: text not on the terminal"
[ -e "$work/out" ] && [ ! -s "$work/out" ] || fail "redirect: the file is not empty"

# --- No terminal at all: plain lines, nothing waited for ---
if timeout 20 setsid "$driver" wait < /dev/null > "$work/none" 2>&1; then
  [ "$(cat "$work/none")" = "waiting
done" ] || fail "no terminal: wrote $(od -c "$work/none" | head -5)"
else
  fail "no terminal: exit status $?"
fi

test_exit
echo "all terminal checks passed"
