#!/usr/bin/env bash
# The Windows console driver under Wine in real tmux panes whose own colours
# are white on blue: wrapping, scrolling and colours in the cells, the keys
# that end a wait, Ctrl+C that ends nothing, the console modes and title as
# another process in the same console sees them before, during and after a
# run (also the fatal end), output with standard output redirected, and runs
# with no console at all or in a window station nobody can see.
# Usage: terminal_wine_test.sh PATH_TO_console_driver.exe PATH_TO_process_watch.exe
# Needs WINEPREFIX (a prefix inside the build folder).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/test_lib.sh"

driver=$(realpath "$1")
watch=$(realpath "$2")
test_begin console-wine
wine_begin
trap test_end EXIT

tmux_keep 600
T set -g window-style 'fg=white,bg=blue'
T set -g history-limit 100

# start CMD: runs CMD as the first thing in a fresh 20x5 pane (Wine's console
# starts at the pane's top left); its exit status lands in $status_file and
# the pane stays open, unchanged, afterwards. Ctrl+C reaches only Wine.
start() {
  next_case
  T new-session -d -s "$pane" -x 20 -y 5 -c "$work" \
    "trap '' INT QUIT; ($1); echo \$? > $status_file; exec sleep 600"
}

# --- Lines wrap at the right edge and the screen scrolls ---
# 7 lines and the cursor's row in 5 rows: "first" and the first 20 letters
# have scrolled off. A line feed and a tab take one cell each (Wine draws
# them as "?"); light grey on black is Wine's default colour pair, so only
# the cyan line carries colour codes.
start "wine '$driver' screen"
[ "$(wait_end)" = 0 ] || fail "screen: exit status"
expected=$'uvwxyz\na?b?c\ncyan\nlast'
[ "$(screen_text)" = "$expected" ] || fail "screen: rows: $(screen_text)"
[ "$(T display -p -t "$pane" '#{cursor_x},#{cursor_y}')" = "0,4" ] ||
  fail "screen: cursor not at the start of the last row"
cyan_row=$(T capture-pane -p -e -N -S 2 -E 2 -t "$pane")
[[ "$cyan_row" == *$'\e[96mcyan'* ]] || fail "screen: cyan row: $cyan_row"
last_row=$(T capture-pane -p -e -N -S 3 -E 3 -t "$pane")
[[ "$last_row" == *last* && "$last_row" != *$'\e[96mlast'* ]] ||
  fail "screen: last row keeps the cyan: $last_row"

# --- Keys that end the wait ---
# Home and End must come as ESC[H / ESC[F for Wine to decode them; Esc
# arrives with no character and still counts.
keys=(
  "x" "-l x"
  "Enter" "Enter"
  "Esc" "Escape"
  "F1" "F1"
  "Up" "Up"
  "Home" "-H 1b 5b 48"
  "End" "-H 1b 5b 46"
)
for ((i = 0; i < ${#keys[@]}; i += 2)); do
  name=${keys[i]}
  start "wine '$driver' wait"
  wait_for waiting || fail "wait $name: no prompt"
  # shellcheck disable=SC2086
  T send-keys -t "$pane" ${keys[i + 1]}
  [ "$(wait_end)" = 0 ] || fail "wait $name: did not end with status 0"
  [ "$(screen_text)" = $'waiting\ndone' ] || fail "wait $name: $(screen_text)"
done

# --- Ctrl+C ends neither the key wait nor the pause ---
# Under Wine Ctrl+C always raises the control event, so it cannot end the
# wait as a key here; the handler must keep the program alive.
start "wine '$driver' wait"
wait_for waiting || fail "Ctrl+C wait: no prompt"
T send-keys -t "$pane" C-c
sleep 1.5
[ -s "$status_file" ] && fail "Ctrl+C ended the key wait"
T send-keys -t "$pane" -l y
[ "$(wait_end)" = 0 ] || fail "Ctrl+C wait: a key after it did not end it"

start "wine '$driver' sleep 2500"
wait_for sleeping || fail "Ctrl+C pause: not sleeping"
T send-keys -t "$pane" C-c
[ "$(wait_end)" = 0 ] || fail "Ctrl+C pause: exit status"
# Wine's console shows "^C" where the cursor stood.
[[ "$(screen_text)" =~ ^sleeping$'\n'(\^C)?slept$ ]] ||
  fail "Ctrl+C pause: $(screen_text)"

# --- The console as another process in it sees it ---
# process_watch sets a title, a colour (yellow on blue) and an output mode
# with escape-sequence processing, runs the driver and reports the console's
# input mode, output mode, attribute and title before, during and after.
# During the run input is raw (mode 0); afterwards everything is back, after
# colour changes and after the fatal end (255) too.
watch_case() {  # NAME DRIVER_ARGS
  local report="$work/report.$1"
  start "wine '$watch' '$(winpath "$report")' 1200 '$(winpath "$driver") $2'"
}
check_report() {  # NAME EXPECTED_STATUS
  local report="$work/report.$1"
  if [ ! -s "$report" ]; then
    fail "$1: no report"
    return
  fi
  grep -qx "status $2" "$report" || fail "$1: $(grep status "$report")"
  local before after
  before=$(sed -n 's/^before //p' "$report")
  after=$(sed -n 's/^after //p' "$report")
  [ -n "$before" ] && [ "$before" = "$after" ] ||
    fail "$1: console not given back: before [$before] after [$after]"
  [[ "$before" == *"title [process watch]"* ]] || fail "$1: title: $before"
}

watch_case modes "wait"
wait_for waiting || fail "modes: no prompt"
sleep 1.5
grep -q '^during input-mode 0 ' "$work/report.modes" ||
  fail "modes: input not raw during the run: $(grep during "$work/report.modes")"
T send-keys -t "$pane" -l q
[ "$(wait_end)" = 0 ] || fail "modes: watcher failed"
check_report modes 0

watch_case colours "screen"
[ "$(wait_end)" = 0 ] || fail "colours: watcher failed"
check_report colours 0

watch_case fatal "fatal"
[ "$(wait_end)" = 0 ] || fail "fatal: watcher failed"
check_report fatal 255
wait_for failing || fail "fatal: line not shown"

# --- Output only to a console ---
# Standard output into a file: the text shows through standard error, the
# file stays empty.
start "wine '$driver' hello > '$work/redirected.txt'"
[ "$(wait_end)" = 0 ] || fail "redirected: exit status"
[ "$(screen_text)" = hello ] || fail "redirected: $(screen_text)"
[ ! -s "$work/redirected.txt" ] || fail "redirected: the file got text"

# No console at all (no terminal around Wine): no key wait, plain lines
# with Windows line ends on standard output.
status=0
timeout 60 setsid wine "$driver" wait </dev/null >"$work/out.txt" \
  2>"$work/err.txt" || status=$?
[ "$status" = 0 ] || fail "no console: status $status"
[ "$(cat "$work/out.txt")" = $'waiting\r\ndone\r' ] && [ ! -s "$work/err.txt" ] ||
  fail "no console: wrote $(od -c "$work/out.txt" "$work/err.txt" | head -5)"

# A console in a window station nobody can see, as a scheduled task that
# runs whether a user is logged on or not: no key wait, nothing shown.
report="$work/report.hidden"
start "wine '$watch' '$(winpath "$report")' 5000 '$(winpath "$driver") wait' hidden"
[ "$(wait_end)" = 0 ] || fail "hidden: watcher failed"
grep -qx "status 0" "$report" || fail "hidden: $(cat "$report")"
grep -q "ended before the look" "$report" || fail "hidden: it waited for a key"
[ -z "$(screen_text)" ] || fail "hidden: shown: $(screen_text)"

test_exit
echo "all console checks passed under Wine"
