#!/usr/bin/env bash
# The fleet run end to end, with the real program:
#   1. lists that cannot be used: a bad line, a duplicate router, a file
#      others can read, an empty list, a missing file, a bad standard input;
#      each gives 1 with its reason and contacts no router; /list:- works;
#      a report that is a symbolic link, FIFO, folder or device, or - on a
#      terminal, is refused the same way; /report:- gives the CSV alone; a
#      formula cell gets a leading '; spellings of one router are one
#      router (before contact, or at connect time: one session); as root, a
#      report on a file system that fills up ends the run with 13;
#   2. in tmux: the progress line redrawn in place under the finished lines,
#      a 40-column terminal, quiet mode silent when all went well, and
#      /wait: with one job: the routers come back side by side; bounds on
#      the run (/down:, groups, /maxfail:, /until:), the interrupt, and
#      /retry: (its file, its rerun, its refusals, as root a full disk);
#   3. as root, about twenty real routers, OpenSSH's sshd and dropbear on
#      loopback ports, healthy and failing in each way: every row has its
#      status and reason, every healthy router got "y", the run ends within
#      its bound with 10; the healthy ones alone give 0.
# Usage: fleet_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
own_system_ssh_config "$0" "$@"

program=$1
sim=$2
test_begin fleet
unset SSH_AUTH_SOCK
own_home
mkdir -p "$HOME/.ssh"
# The report's header; its rows are compared without their last four
# fields (seconds, the name as given, the key a first contact recorded, its
# file), which vary.
# The report's first seven columns, as csv_head 7 gives them.
report_header="line,address,port,user,exit status,outcome,reason"
server_pids=()
user=
cleanup() {
  local pid
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$user" ] && userdel "$user" 2>/dev/null
  test_end
}
trap cleanup EXIT

# make_list NAME LINE...: the private list file $work/NAME.list.
make_list() {
  local name=$1
  shift
  printf '%s\n' "$@" >"$work/$name.list"
  chmod 600 "$work/$name.list"
}

# connections: how many connections the simulator has logged.
connections() { grep -c '"user"' "$work/router.log" 2>/dev/null || true; }

# within LIMIT: the run took at most LIMIT seconds.
within() { awk -v t="$seconds" -v l="$1" 'BEGIN { exit !(t <= l) }'; }

# ---------------------------------------------------------------------------
# 1. Lists that cannot be used
start_sim secret 600
good="/user:admin /pw:secret /port:$port /ip:127.0.0.1"
make_list bad-line "$good" "/user:admin /pw:secret /port:$port 127.0.0.2"
make_list duplicate "$good" "# the same router, spelt otherwise" \
  "/ip:127.0.0.1 /port:0$port /pw:other /user:other"
make_list readable "$good"
chmod 640 "$work/readable.list"
make_list empty "# nothing here" "" "   "
printf '/user:admin /pw:secret /port:%s\n' "$port" >"$work/stdin-bad.input"

# NAME | list argument | standard input | reason (an extended regular expression)
while IFS='|' read -r name list input reason; do
  before=$(connections)
  start=$(date +%s.%N)
  status=0
  read -ra words <<<"$list"
  TERM=dumb script -qec "$(printf '%q ' "$program" "/list:${words[0]}" "${words[@]:1}" /v:n) <$(printf '%q' "$input")" \
    /dev/null </dev/null | tr -d '\r' >"$work/$name.out" || status=$?
  # A long reason wraps at the terminal's width: the rows joined give it back.
  shown=$(tr -d '\n' <"$work/$name.out")
  [ "$status" = 1 ] || fail "$name: exit status $status, expected 1"
  [[ "$shown" =~ ^"The fleet run cannot start.Reason: "$reason\.$ ]] ||
    fail "$name: lines: $shown"
  [ "$(connections)" = "$before" ] || fail "$name: a router was contacted"
  [ "$failures" = 0 ] && echo "ok: $name"
done <<CASES
bad-line|$work/bad-line.list|/dev/null|$work/bad-line\.list:2: parameter 4 has no known prefix \(a value with spaces goes in quotes: /pw:"two words"\)
duplicate|$work/duplicate.list|/dev/null|$work/duplicate\.list:3: 127\.0\.0\.1 port $port is already on line 1
readable|$work/readable.list|/dev/null|$work/readable\.list: holds passwords but is open to group or others \(mode 0640\); make it private with chmod 600
empty|$work/empty.list|/dev/null|$work/empty\.list: the list holds no router
missing|$work/missing.list|/dev/null|$work/missing\.list: No such file or directory
stdin-bad|-|$work/stdin-bad.input|standard input:1: /ip: missing
unknown-option|$work/readable.list /jobs:4 /verbose|/dev/null|unknown argument "/verbose"
jobs-zero|$work/readable.list /jobs:0|/dev/null|unknown argument "/jobs:0": /jobs: takes 1 to 256
report-is-list|$work/readable.list /report:$work/readable.list|/dev/null|/report: names the list file itself
CASES

# The list on standard input, from a pipe as a job would give it.
before=$(connections)
status=0
printf '%s\n' "$good" | "$program" /list:- /v:n /report:"$work/stdin.csv" >/dev/null 2>&1 ||
  status=$?
[ "$status" = 0 ] || fail "stdin: exit status $status"
[ "$(connections)" = $((before + 1)) ] || fail "stdin: the router was not contacted once"
tr -d '\r' <"$work/stdin.csv" | grep -q "^1,127.0.0.1,$port,admin,0,rebooted,,[0-9.]*," ||
  fail "stdin: report: $(cat "$work/stdin.csv")"
[ "$failures" = 0 ] && echo "ok: the list on standard input"

# ---------------------------------------------------------------------------
# 1b. The report: opened before any router is contacted, a regular file
# only, standard output with -, formulas neutralised.
echo precious >"$work/target.csv"
ln -s "$work/target.csv" "$work/link.csv"
mkfifo "$work/fifo.csv"
make_list one "$good"
# NAME | report | reason (an extended regular expression)
while IFS='|' read -r name report reason; do
  before=$(connections)
  status=0
  TERM=dumb timeout 20 script -qec "$(printf '%q ' "$program" "/list:$work/one.list" "/report:$report" /v:n)" \
    /dev/null </dev/null | tr -d '\r' >"$work/$name.out" || status=$?
  shown=$(tr -d '\n' <"$work/$name.out")
  [ "$status" = 1 ] || fail "$name: exit status $status, expected 1"
  [[ "$shown" =~ ^"The fleet run cannot start.Reason: the report "$reason\.$ ]] ||
    fail "$name: lines: $shown"
  [ "$(connections)" = "$before" ] || fail "$name: a router was contacted"
  [ "$failures" = 0 ] && echo "ok: report $name refused"
done <<CASES
symlink|$work/link.csv|$work/link\.csv: is a symbolic link, which is not followed; name the file itself
fifo|$work/fifo.csv|$work/fifo\.csv: not a regular file
folder|$work|$work: not a regular file
device|/dev/null|/dev/null: not a regular file
terminal|-|-: standard output is a terminal; send it to a file or a pipe
CASES
[ "$(cat "$work/target.csv")" = precious ] || fail "symlink: its target was changed"
[ -p "$work/fifo.csv" ] || fail "fifo: it is no longer a FIFO"

# /report:- with standard output a pipe: it holds the CSV and nothing else,
# while the run's lines go to the terminal on standard error.
before=$(connections)
status=0
TERM=dumb script -qec "$(printf '%q ' "$program" "/list:$work/one.list" /report:- /v:y) >$(printf '%q' "$work/stdout.csv")" \
  /dev/null </dev/null | tr -d '\r' >"$work/stdout.out" || status=$?
[ "$status" = 0 ] || fail "report -: exit status $status"
[ "$(csv_head 7 <"$work/stdout.csv" | paste -sd '|')" = "$report_header|1,127.0.0.1,$port,admin,0,rebooted," ] ||
  fail "report -: standard output: $(cat "$work/stdout.csv")"
[ "$(grep -c $'\r$' "$work/stdout.csv")" = 2 ] || fail "report -: not two CRLF records"
grep -q '1 rebooted, 0 failed in ' "$work/stdout.out" || fail "report -: the terminal: $(cat "$work/stdout.out")"
[ "$(connections)" = $((before + 1)) ] || fail "report -: the router was not contacted once"
[ "$failures" = 0 ] && echo "ok: /report:- writes the CSV alone to standard output"

# A user name a spreadsheet would take for a formula.
run_sim formula --user '=2+5' --password secret --lifetime 600 || fail "the formula router did not start"
make_list formula "/user:=2+5 /pw:secret /port:$sim_port /ip:127.0.0.1"
status=0
"$program" "/list:$work/formula.list" /v:n /report:"$work/formula.csv" </dev/null >/dev/null 2>&1 ||
  status=$?
[ "$status" = 0 ] || fail "formula: exit status $status"
tr -d '\r' <"$work/formula.csv" | grep -q "^1,127.0.0.1,$sim_port,'=2+5,0,rebooted,,[0-9.]*," ||
  fail "formula: report: $(cat "$work/formula.csv")"
[ "$failures" = 0 ] && echo "ok: a formula cell gets a leading '"

# ---------------------------------------------------------------------------
# 1c. One router, one session. Spellings that can be compared without the
# network are refused before anyone is contacted; localhost and 127.0.0.1
# meet at connect time, where the second is not rebooted.
answers() { grep -c '"answer":"y"' "$work/router.log" 2>/dev/null || true; }
passwords() { grep -c '"password":"' "$work/router.log" 2>/dev/null || true; }
spell() { echo "/user:admin /pw:secret /port:$port /ip:$1"; }
make_list spellings "$(spell 127.0.0.1)" "$(spell 127.1)" "$(spell localhost)" "$(spell LOCALHOST)"
make_list literals "$(spell 2130706433)" "$(spell 0x7f.0.0.1)"
make_list names "$(spell localhost)" "$(spell LOCALHOST.)"
# NAME | reason
while IFS='|' read -r name reason; do
  before=$(connections)
  status=0
  "$program" "/list:$work/$name.list" /v:n </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" = 1 ] || fail "$name: exit status $status, expected 1"
  [ "$(connections)" = "$before" ] || fail "$name: a router was contacted"
  TERM=dumb script -qec "$(printf '%q ' "$program" "/list:$work/$name.list" /v:n)" /dev/null \
    </dev/null >"$work/$name.out" || true
  tr -d '\r\n' <"$work/$name.out" | grep -qF "Reason: $work/$name.list:2: $reason." ||
    fail "$name: no reason '$reason': $(cat "$work/$name.out")"
  [ "$failures" = 0 ] && echo "ok: $name: a duplicate refused before any router is contacted"
done <<CASES
spellings|127.1 port $port is already on line 1
literals|0x7f.0.0.1 port $port is already on line 1
names|LOCALHOST. port $port is already on line 1
CASES

# The preflight: the router is met and logged in to, its session channel
# opened, and neither the command nor an answer is sent.
before=$(connections)
answers_before=$(answers)
status=0
"$program" "/list:$work/one.list" /check:y /v:y </dev/null >"$work/check-sim.out" 2>&1 || status=$?
[ "$status" = 0 ] || fail "check: exit status $status: $(cat "$work/check-sim.out")"
[ "$(connections)" = $((before + 1)) ] || fail "check: the router was not contacted once"
[ "$(answers)" = "$answers_before" ] || fail "check: the router got an answer"
tail -n 1 "$work/router.log" | grep -q '"password":"secret".*"command":null,"question_sent":false,"answer":null' ||
  fail "check: the router's log: $(tail -n 1 "$work/router.log")"
grep -q "^127.0.0.1:$port ready [0-9.]* s" "$work/check-sim.out" &&
  grep -q '^1 ready, 0 failed in ' "$work/check-sim.out" ||
  fail "check: the lines: $(cat "$work/check-sim.out")"
[ "$failures" = 0 ] && echo "ok: /check:y logs in and sends no command"

make_list meet "$(spell localhost)" "$(spell 127.0.0.1)"
answers_before=$(answers)
passwords_before=$(passwords)
status=0
"$program" "/list:$work/meet.list" /v:n /report:"$work/meet.csv" </dev/null >/dev/null 2>&1 ||
  status=$?
[ "$status" = 10 ] || fail "meet: exit status $status, expected 10"
[ "$(answers)" = $((answers_before + 1)) ] || fail "meet: the router got $(($(answers) - answers_before)) answers"
[ "$(passwords)" = $((passwords_before + 1)) ] || fail "meet: the router saw $(($(passwords) - passwords_before)) passwords"
meet=$(csv_head 7 <"$work/meet.csv" | sort | paste -sd '|')
first="1,localhost,$port,admin,0,rebooted,|2,127.0.0.1,$port,admin,1,failed,the same router as line 1: not rebooted twice"
second="1,localhost,$port,admin,1,failed,the same router as line 2: not rebooted twice|2,127.0.0.1,$port,admin,0,rebooted,"
[ "$meet" = "$first|$report_header" ] || [ "$meet" = "$second|$report_header" ] || fail "meet: report: $meet"
[ "$failures" = 0 ] && echo "ok: localhost and 127.0.0.1 on one port: one session"

# ---------------------------------------------------------------------------
# 1d. A report on a file system that fills up (root: a 4 KiB tmpfs in a
# private mount namespace): 120 routers, the rows that fit kept whole, the
# run ends with 13 and says how many rows are missing.
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  run_sim many --user oper --password secret --lifetime 600 --ports 120 --log "$work/many.log" ||
    fail "the 120 routers did not start"
  mapfile -t many_ports <"$work/many.port"
  # 99 comments first: every row then has a three-digit line number, so
  # with five-digit ports every row has one length.
  lines=()
  for i in $(seq 99); do lines+=("# padding $i"); done
  for p in "${many_ports[@]}"; do lines+=("/user:oper /pw:secret /port:$p /ip:127.0.0.1"); done
  make_list many "${lines[@]}"
  mkdir "$work/full"
  status=0
  TERM=dumb unshare -m bash -c '
    mount -t tmpfs -o size=4k swk-full "$1/full" || exit 99
    script -qec "$(printf "%q " "$2" "/list:$1/many.list" "/report:$1/full/many.csv" /v:n)" /dev/null </dev/null >"$1/full.out"
    status=$?
    cp "$1/full/many.csv" "$1/many.csv"
    exit $status' bash "$work" "$program" || status=$?
  [ "$status" = 13 ] || fail "full: exit status $status, expected 13"
  # Rows are full where a line wraps: joined they give the lines back.
  tr -d '\r\n' <"$work/full.out" >"$work/full.shown"
  rows=$(($(grep -c $'\r$' "$work/many.csv") - 1))
  [ "$(tail -c 2 "$work/many.csv" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "full: the last row is cut"
  [ "$(tr -d '\r' <"$work/many.csv" | grep -cE '^[0-9]+,127\.0\.0\.1,[0-9]+,oper,0,rebooted,,[0-9.]+,,ED25519 SHA256:[^,]+,[^,]+,Reboot now\? \[y/N\]: $')" = "$rows" ] ||
    fail "full: not only whole rows: $(tail -n 3 "$work/many.csv")"
  # Rows of one length (five-digit ports, under ten seconds each): as many
  # as fit in 4 KiB after the header.
  header_bytes=$(head -n 1 "$work/many.csv" | wc -c)
  row_bytes=$(tail -n +2 "$work/many.csv" | awk '{ print length($0) + 1 }' | sort -u)
  if [ "$(echo "$row_bytes" | wc -l)" = 1 ]; then
    [ "$rows" = $(((4096 - header_bytes) / row_bytes)) ] ||
      fail "full: $rows rows of $row_bytes bytes written, expected $(((4096 - header_bytes) / row_bytes))"
  fi
  missing=$((120 - rows))
  grep -qF "The report $work/full/many.csv could not be written whole: $missing of 120 rows are missing (No space left on device)." "$work/full.shown" ||
    fail "full: the terminal: $(cat "$work/full.shown")"
  grep -qE "120 rebooted, 0 failed in 0:[0-9]{2}; the report lacks $missing of 120 rows" "$work/full.shown" ||
    fail "full: the summary: $(cat "$work/full.shown")"
  [ "$(grep -c '"answer":"y"' "$work/many.log")" = 120 ] || fail "full: not every router got y"
  [ "$failures" = 0 ] && echo "ok: a report on a full file system: $rows of 120 rows, whole, status 13"
else
  echo "skipped: the full file system needs root and mount namespaces"
fi

# ---------------------------------------------------------------------------
# 2. The terminal, in tmux
# Four quick routers and one whose every step takes 1.5 s keep the run on
# screen long enough to watch the progress line.
quick=()
quick_ports=()
for i in 1 2 3 4; do
  run_sim "quick$i" --user admin --password secret --lifetime 600 || fail "quick$i did not start"
  quick+=("/user:admin /pw:secret /port:$sim_port /ip:127.0.0.1")
  quick_ports+=("$sim_port")
done
run_sim slow --user admin --password secret --lifetime 600 --mode stall --stall-ms 1500 ||
  fail "the slow router did not start"
slow_port=$sim_port
make_list screen "${quick[@]}" "/user:admin /pw:secret /port:$slow_port /ip:127.0.0.1"

# on_screen WIDTH ARGS...: the program in a fresh tmux window of WIDTH
# columns; the shell prints "rc=STATUS" after it.
on_screen() {
  local width=$1
  shift
  tmux_end
  T new-session -d -x "$width" -y 30 \
    "$(printf '%q ' "$program" "$@"); echo rc=\$?; sleep 600"
}
history() { T capture-pane -p -S - -E - | sed -e 's/ *$//' | grep -v '^$' || true; }
screen_text() { history; }

on_screen 80 "/list:$work/screen.list"
wait_for "4 done, 0 failed, 1 running" || fail "tmux: no progress line: $(history)"
mid=$(history)
last=$(printf '%s\n' "$mid" | tail -n 1)
[[ "$last" =~ ^rebooting\ 5\ routers:\ 4\ done,\ 0\ failed,\ 1\ running,\ 0:0[0-9]$ ]] ||
  fail "tmux: the last row is not the progress line: $last"
[ "$(printf '%s\n' "$mid" | grep -c 'rebooting 5 routers')" = 1 ] ||
  fail "tmux: the progress line was not redrawn in place: $mid"
[ "$(printf '%s\n' "$mid" | grep -cE '^127\.0\.0\.1:[0-9]+ rebooted [0-9]+\.[0-9] s$')" = 4 ] ||
  fail "tmux: the four finished lines are not above it: $mid"
wait_for "rc=" || fail "tmux: the run did not end"
end=$(history)
[[ "$(paste -sd '|' <<<"$end")" =~ \|127\.0\.0\.1:$slow_port\ rebooted\ [0-9.]+\ s\|5\ rebooted,\ 0\ failed\ in\ 0:[0-9]{2}\|done\ -\ quitting\ in\ 4\ seconds\|rc=0$ ]] ||
  fail "tmux: the end: $end"
grep -q 'rebooting' <<<"$end" && fail "tmux: the progress line is left on screen: $end"
[ "$failures" = 0 ] && echo "ok: tmux, the progress line redrawn in place"

# 40 columns: the long progress line gives way to its short form, and a
# long failure line wraps onto the next row whole.
make_list narrow "${quick[@]:0:2}" \
  "/user:admin /pw:wrong-password-here /port:${quick_ports[2]} /ip:127.0.0.1" \
  "/user:admin /pw:secret /port:$slow_port /ip:127.0.0.1"
on_screen 40 "/list:$work/narrow.list" /jobs:2
wait_for "/4 done, " || fail "tmux 40: no short progress line: $(history)"
progress=$(history | tail -n 1)
[[ "$progress" =~ ^[0-9]/4\ done,\ [01]\ failed,\ 0:[0-9]{2}$ ]] || fail "tmux 40: progress: $progress"
wait_for "rc=" || fail "tmux 40: the run did not end"
# Rows are full where a line wraps, so joined without breaks they give the
# line back whole.
history | tr -d '\n' | grep -qE ":${quick_ports[2]} failed [0-9]+\.[0-9] s: the user name or password was refused" ||
  fail "tmux 40: the failure line did not wrap whole: $(history)"
[[ "$(history | paste -sd '|')" =~ \|3\ rebooted,\ 1\ failed\ in\ 0:[0-9]{2}\|done\ -\ quitting\ in\ 4\ seconds\|rc=10$ ]] ||
  fail "tmux 40: the end: $(history)"
history | awk 'length > 40 { exit 1 }' || fail "tmux 40: a row wider than the terminal"
[ "$failures" = 0 ] && echo "ok: tmux, 40 columns"

make_list quiet "${quick[@]}"
on_screen 80 "/list:$work/quiet.list" /v:n
wait_for "rc=" || fail "tmux quiet: the run did not end"
[ "$(history)" = "rc=0" ] || fail "tmux quiet: shown: $(history)"
[ "$failures" = 0 ] && echo "ok: tmux, quiet mode silent when all went well"

# Quiet with a failure: its line as it finishes, then the summary, nothing
# of the routers that rebooted.
closed_port=$(free_port)
make_list quiet-failing "${quick[@]:0:2}" "/user:admin /pw:secret /port:$closed_port /ip:127.0.0.1"
on_screen 80 "/list:$work/quiet-failing.list" /v:n
wait_for "rc=" || fail "tmux quiet failing: the run did not end"
[[ "$(history | paste -sd '|')" =~ ^127\.0\.0\.1:$closed_port\ failed\ [0-9.]+\ s:\ the\ router\ refused\ the\ connection\|2\ rebooted,\ 1\ failed\ in\ 0:[0-9]{2}\|rc=10$ ]] ||
  fail "tmux quiet failing: shown: $(history)"
[ "$failures" = 0 ] && echo "ok: tmux, quiet mode shows the failure and the summary"

# /wait: with one job: three routers that go down half a second after the
# answer and stay down 5 s. Waiting does not hold the job slot, so the
# second and third routers are rebooted while the first is still down, and
# the progress line counts the routers down apart from those running.
waited=()
for i in 1 2 3; do
  run_sim "waited$i" --user admin --password secret --lifetime 600 --log "$work/waited$i.log" \
    --reboot-delay-ms 500 --reboot-down-ms 5000 || fail "waited$i did not start"
  waited+=("/user:admin /pw:secret /port:$sim_port /ip:127.0.0.1")
done
make_list waited "${waited[@]}"
on_screen 80 "/list:$work/waited.list" /jobs:1 /wait:30 /report:"$work/waited.csv"
wait_for " down, " || fail "tmux wait: no routers down: $(history)"
# The process list shows a fleet run's options as given: only a password is
# ever starred there, and the second parameter of a fleet run is none.
listed=$(ps -o args= -C swKicker | grep -F "/list:$work/waited.list" || true)
[[ "$listed" == *" /jobs:1 /wait:30 /report:$work/waited.csv" ]] ||
  fail "ps: the fleet run's options are not shown as given: $listed"
progress=$(history | tail -n 1)
[[ "$progress" =~ ^rebooting\ 3\ routers:\ 0\ done,\ 0\ failed,\ [01]\ running,\ [1-3]\ down,\ 0:0[0-9]$ ]] ||
  fail "tmux wait: progress: $progress"
wait_for "rc=" || fail "tmux wait: the run did not end"
[[ "$(history | paste -sd '|')" =~ (127\.0\.0\.1:[0-9]+\ rebooted\ [0-9.]+\ s\|){3}3\ rebooted,\ 0\ failed\ in\ 0:[0-9]{2}\|done\ -\ quitting\ in\ 4\ seconds\|rc=0$ ]] ||
  fail "tmux wait: the end: $(history)"
[ "$(tr -d '\r' <"$work/waited.csv" | grep -cE '^[123],127\.0\.0\.1,[0-9]+,admin,0,rebooted,,[0-9.]+,[0-9.]+,[0-9.]+,')" = 3 ] ||
  fail "tmux wait: report: $(cat "$work/waited.csv")"
event_ms() { sed -n "s/^{\"event\":\"$2\",\"ms\":\([0-9]*\)}$/\1/p" "$work/$1.log" | head -n 1; }
first_back=$(event_ms waited1 back)
for i in 2 3; do
  down=$(event_ms "waited$i" down)
  [ -n "$down" ] && [ -n "$first_back" ] && [ "$down" -lt "$first_back" ] ||
    fail "tmux wait: router $i went down at ${down:-never}, not before the first was back (${first_back:-never})"
done
[ "$failures" = 0 ] && echo "ok: tmux, /wait: keeps no job slot while the routers come back"
tmux_end

# ---------------------------------------------------------------------------
# Bounds on the run: /down:, groups, /maxfail: and /until:, judged from the
# routers' own logs. Each router goes down 0.3 s after the answer for 1.5 s.
# bounded NAME COUNT: COUNT such routers, their list lines in ${bounded[@]}
# and their logs $work/NAME1.log...
bounded() {
  local i
  bounded=()
  for i in $(seq "$2"); do
    run_sim "$1$i" --user admin --password secret --lifetime 600 --log "$work/$1$i.log" \
      --reboot-delay-ms 300 --reboot-down-ms 1500 || fail "$1$i did not start"
    bounded+=("/user:admin /pw:secret /port:$sim_port /ip:127.0.0.1")
  done
}
# started NAME: how many connections the router has logged (0 without a log).
started() {
  local n
  n=$(grep -c '"user"' "$work/$1.log" 2>/dev/null) || true
  echo "${n:-0}"
}
for bound in 1 3; do
  bounded "down$bound" 6
  make_list "down$bound" "${bounded[@]}"
  rc=0
  "$program" "/list:$work/down$bound.list" /jobs:6 /wait:30 "/down:$bound" \
    /report:"$work/down$bound.csv" >"$work/down$bound.out" 2>&1 </dev/null || rc=$?
  [ "$rc" = 0 ] || fail "/down:$bound: rc=$rc: $(cat "$work/down$bound.out")"
  names=()
  for i in $(seq 6); do names+=("down$bound$i"); done
  most=$(most_down "${names[@]}")
  [ "$most" -le "$bound" ] || fail "/down:$bound: $most routers were down at once"
  # Six routers of about 1.8 s each, at most bound at a time: never quicker
  # than the rounds that allows.
  first=$(sed -n 's/^{"event":"down","ms":\([0-9]*\)}$/\1/p' "$work/down${bound}1.log")
  last=$(cat "$work/down$bound"*.log | sed -n 's/^{"event":"back","ms":\([0-9]*\)}$/\1/p' | sort -n | tail -n 1)
  rounds=$(((6 + bound - 1) / bound))
  [ -n "$first" ] && [ -n "$last" ] && [ $((last - first)) -ge $((rounds * 1500 - 300)) ] ||
    fail "/down:$bound: the routers were down from ${first:-never} to ${last:-never}, under $rounds rounds"
done
[ "$(most_down down31 down32 down33 down34 down35 down36)" = 3 ] ||
  fail "/down:3: never three routers down at once"
[ "$failures" = 0 ] && echo "ok: /down:1 and /down:3 keep at most that many routers down"

# Groups: a canary, then two routers; none of the second group goes down
# before the canary is back.
bounded group 3
make_list group "${bounded[0]}" "---" "${bounded[1]}" "${bounded[2]}"
rc=0
"$program" "/list:$work/group.list" /jobs:4 /wait:30 >"$work/group.out" 2>&1 </dev/null || rc=$?
[ "$rc" = 0 ] || fail "groups: rc=$rc: $(cat "$work/group.out")"
canary_back=$(sed -n 's/^{"event":"back","ms":\([0-9]*\)}$/\1/p' "$work/group1.log")
for i in 2 3; do
  down=$(sed -n 's/^{"event":"down","ms":\([0-9]*\)}$/\1/p' "$work/group$i.log")
  [ -n "$down" ] && [ -n "$canary_back" ] && [ "$down" -gt "$canary_back" ] ||
    fail "groups: router $i went down at ${down:-never}, the canary was back at ${canary_back:-never}"
done
[ "$(most_down group2 group3)" = 2 ] || fail "groups: the second group did not run side by side"
[ "$failures" = 0 ] && echo "ok: a group starts once the group before it is back"

# A failing canary under /maxfail:0 starts nothing else: the rest are not
# started, the run is halted (14), and the report and log say so.
closed=$(free_port)
bounded halt 2
make_list halt "/user:admin /pw:secret /port:$closed /ip:127.0.0.1" "---" "${bounded[@]}"
rc=0
"$program" "/list:$work/halt.list" /wait:30 /maxfail:0 /report:"$work/halt.csv" \
  >"$work/halt.out" 2>&1 </dev/null || rc=$?
[ "$rc" = 14 ] || fail "/maxfail:0: rc=$rc: $(cat "$work/halt.out")"
[ "$(started halt1)$(started halt2)" = 00 ] || fail "/maxfail:0: a router after the canary was contacted"
[ "$(tr -d '\r' <"$work/halt.csv" | cut -d, -f1,5,6,7 | paste -sd '|')" = \
  "line,exit status,outcome,reason|1,3,failed,the router refused the connection|3,14,not started,halted: more than 0 failed (/maxfail:)|4,14,not started,halted: more than 0 failed (/maxfail:)" ] ||
  fail "/maxfail:0: report: $(cat "$work/halt.csv")"
grep -qE '^0 rebooted, 1 failed, 2 not started in 0:[0-9]{2}; halted: more than 0 failed \(/maxfail:\)$' "$work/halt.out" ||
  fail "/maxfail:0: summary: $(cat "$work/halt.out")"
[ "$failures" = 0 ] && echo "ok: a failing canary under /maxfail:0 halts the run"

# /maxfail: by count and by percent, one router at a time: two closed ports
# first, then two routers. /maxfail:1 and /maxfail:25% halt after the
# second failure; /maxfail:50% lets the run finish.
for bound in 1 25% 50%; do
  tag=${bound%\%}
  bounded "mf$tag" 2
  make_list "mf$tag" "/user:admin /pw:secret /port:$(free_port) /ip:127.0.0.1" \
    "/user:admin /pw:secret /port:$(free_port) /ip:127.0.0.2" "${bounded[@]}"
  rc=0
  "$program" "/list:$work/mf$tag.list" /jobs:1 "/maxfail:$bound" >"$work/mf$tag.out" 2>&1 </dev/null ||
    rc=$?
  if [ "$bound" = 50% ]; then
    [ "$rc" = 10 ] && [ "$(started "mf${tag}1")$(started "mf${tag}2")" = 11 ] ||
      fail "/maxfail:$bound: rc=$rc, contacted $(started "mf${tag}1")$(started "mf${tag}2"): $(cat "$work/mf$tag.out")"
  else
    [ "$rc" = 14 ] && [ "$(started "mf${tag}1")$(started "mf${tag}2")" = 00 ] ||
      fail "/maxfail:$bound: rc=$rc, contacted $(started "mf${tag}1")$(started "mf${tag}2"): $(cat "$work/mf$tag.out")"
    grep -q ' 2 not started ' "$work/mf$tag.out" || fail "/maxfail:$bound: summary: $(cat "$work/mf$tag.out")"
  fi
done
[ "$failures" = 0 ] && echo "ok: /maxfail: by count and by percent"

# /until: the local clock is set (by TZ, to the second) 5 s before a whole
# minute, and the window ends at that minute. Five slow routers, one at a
# time, 2 s each: those started before it finish, the rest are not started.
for i in $(seq 5); do
  run_sim "until$i" --user admin --password secret --lifetime 600 --log "$work/until$i.log" \
    --mode stall --stall-ms 2000 || fail "until$i did not start"
  bounded[i - 1]="/user:admin /pw:secret /port:$sim_port /ip:127.0.0.1"
done
make_list until "${bounded[@]:0:5}"
shift_s=$((($(date +%s) + 5) % 60))
zone="UTC+0:00:$(printf '%02d' "$shift_s")"
end=$(TZ=$zone date -d '+10 sec' +%H:%M)
rc=0
TZ=$zone "$program" "/list:$work/until.list" /jobs:1 "/until:$end" /report:"$work/until.csv" \
  >"$work/until.out" 2>&1 </dev/null || rc=$?
ran=0
for i in $(seq 5); do ran=$((ran + $(started "until$i"))); done
[ "$rc" = 14 ] && [ "$ran" -ge 1 ] && [ "$ran" -le 4 ] ||
  fail "/until:$end (TZ=$zone): rc=$rc, $ran routers contacted: $(cat "$work/until.out")"
[ "$(tr -d '\r' <"$work/until.csv" | grep -c ',14,not started,halted: the window of /until: has ended,')" = $((5 - ran)) ] ||
  fail "/until: report: $(cat "$work/until.csv")"
[ "$failures" = 0 ] && echo "ok: /until: starts no router after the window"

# The interrupt, in tmux: six routers one at a time (/down:1), each down 4 s.
# One Ctrl+C while the first is down: it is waited for and rebooted, the
# rest are not started, 130. Two: the first is not confirmed. Either way
# the routers not started were never contacted and the terminal is as it
# was.
for presses in 1 2; do
  for i in $(seq 6); do
    run_sim "int$presses$i" --user admin --password secret --lifetime 600 \
      --log "$work/int$presses$i.log" --reboot-delay-ms 300 --reboot-down-ms 4000 ||
      fail "int$presses$i did not start"
    bounded[i - 1]="/user:admin /pw:secret /port:$sim_port /ip:127.0.0.1"
  done
  make_list "int$presses" "${bounded[@]:0:6}"
  tmux_end
  T new-session -d -x 120 -y 30 \
    "$(printf '%q ' "$program" "/list:$work/int$presses.list" /jobs:1 /wait:30 /down:1 \
      /report:"$work/int$presses.csv" /retry:"$work/int$presses.retry"); echo rc=\$?; stty -a | tr ' ;' '\n\n' | grep -xE 'isig|icanon|echo' | paste -sd, -; sleep 600"
  wait_for " 1 down, 5 waiting, " || fail "interrupt $presses: the first router not down: $(history)"
  T send-keys C-c
  wait_for "stopping: 1 router in flight, Ctrl+C again to stop waiting" ||
    fail "interrupt $presses: no stopping line: $(history)"
  [ "$presses" = 2 ] && T send-keys C-c
  wait_for "rc=" || fail "interrupt $presses: the run did not end: $(history)"
  shown=$(history | paste -sd '|')
  if [ "$presses" = 1 ]; then
    first="0,rebooted,"
    summary="1 rebooted, 0 failed, 5 not started"
    [ -n "$(sed -n 's/^{"event":"back".*/y/p' "$work/int11.log")" ] ||
      fail "interrupt 1: the first router was not waited for"
  else
    first="15,not confirmed,not confirmed: the wait for its return was stopped"
    summary="0 rebooted, 1 failed, 5 not started"
  fi
  [[ "$shown" == *"$summary in 0:"*"; halted: stopped by SIGINT|"*"rc=130|isig,icanon,echo"* ]] ||
    fail "interrupt $presses: the end: $shown"
  # Rows are written as routers finish: sorted by line here.
  [ "$(tr -d '\r' <"$work/int$presses.csv" | cut -d, -f1,5-7 | (IFS= read -r header; echo "$header"; sort -t, -k1,1n) | paste -sd '|')" = \
    "line,exit status,outcome,reason|1,$first|2,14,not started,halted: stopped by SIGINT|3,14,not started,halted: stopped by SIGINT|4,14,not started,halted: stopped by SIGINT|5,14,not started,halted: stopped by SIGINT|6,14,not started,halted: stopped by SIGINT" ] ||
    fail "interrupt $presses: report: $(cat "$work/int$presses.csv")"
  contacted=$(for i in $(seq 6); do [ "$(started "int$presses$i")" = 0 ] && echo 0 || echo 1; done | paste -sd '')
  [ "$contacted" = 100000 ] || fail "interrupt $presses: routers contacted: $contacted"
  # The retry list, written after the report: the five routers not started;
  # the first took the answer, whether confirmed or not.
  [ "$(grep -v '^# Retry list of ' "$work/int$presses.retry")" = "$(for i in $(seq 2 6); do
    echo "# line $i: status 14, halted: stopped by SIGINT"
    sed -n "${i}p" "$work/int$presses.list"
  done)" ] || fail "interrupt $presses: retry list: $(cat "$work/int$presses.retry")"
done
tmux_end
[ "$failures" = 0 ] && echo "ok: tmux, one Ctrl+C stops new starts, a second ends the waits; exit 130; the retry list holds the routers not started"

# ---------------------------------------------------------------------------
# /retry: the lines of the routers that failed or were not started, as
# written, with their groups; a rerun of it contacts only those routers.
# One at a time: line 2 reboots, line 3 (a wrong password, written with two
# spaces) fails, line 5 (a closed port) fails, which is one more than
# /maxfail:1 allows, so lines 7 and 8 are not started.
for i in $(seq 4); do
  run_sim "retry$i" --user admin --password secret --lifetime 600 --log "$work/retry$i.log" ||
    fail "retry$i did not start"
  bounded[i - 1]=$sim_port
done
closed=$(free_port)
make_list retry "# two groups of routers" \
  "/user:admin /pw:secret /port:${bounded[0]} /ip:127.0.0.1" \
  "/user:admin  /pw:wrong /port:${bounded[1]} /ip:127.0.0.1" \
  "---" \
  "/user:admin /pw:secret /port:$closed /ip:127.0.0.1" \
  " --- " \
  "/user:admin /pw:secret /port:${bounded[2]} /ip:127.0.0.1" \
  "/user:admin /pw:secret /port:${bounded[3]} /ip:127.0.0.1"
rc=0
"$program" "/list:$work/retry.list" /jobs:1 /maxfail:1 "/retry:$work/retry.txt" \
  >"$work/retry.out" 2>&1 </dev/null || rc=$?
[ "$rc" = 14 ] || fail "/retry: rc=$rc: $(cat "$work/retry.out")"
[ "$(stat -c %a "$work/retry.txt")" = 600 ] || fail "/retry: mode $(stat -c %a "$work/retry.txt")"
head -n 1 "$work/retry.txt" | grep -qE "^# Retry list of $work/retry\.list, written [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}: " ||
  fail "/retry: first comment: $(head -n 1 "$work/retry.txt")"
expected="# line 3: status 6, the user name or password was refused
$(sed -n 3p "$work/retry.list")
---
# line 5: status 3, the router refused the connection
$(sed -n 5p "$work/retry.list")
---
# line 7: status 14, halted: more than 1 failed (/maxfail:)
$(sed -n 7p "$work/retry.list")
# line 8: status 14, halted: more than 1 failed (/maxfail:)
$(sed -n 8p "$work/retry.list")"
[ "$(tail -n +2 "$work/retry.txt")" = "$expected" ] || fail "/retry: the file: $(cat "$work/retry.txt")"
contacted() { for i in $(seq 4); do started "retry$i"; done | paste -sd ' '; }
[ "$(contacted)" = "1 1 0 0" ] || fail "/retry: first run contacted $(contacted)"
# The rerun names the retry list as its list and as its retry list: it is
# read whole first, then replaced by what still failed. Only the failed and
# the routers not started are contacted.
rc=0
"$program" "/list:$work/retry.txt" "/retry:$work/retry.txt" >"$work/rerun.out" 2>&1 </dev/null || rc=$?
[ "$rc" = 10 ] || fail "/retry: rerun rc=$rc: $(cat "$work/rerun.out")"
[ "$(contacted)" = "1 2 1 1" ] || fail "/retry: the rerun contacted $(contacted)"
[ "$(tail -n +2 "$work/retry.txt")" = "# line 3: status 6, the user name or password was refused
$(sed -n 3p "$work/retry.list")
---
# line 6: status 3, the router refused the connection
$(sed -n 5p "$work/retry.list")" ] || fail "/retry: after the rerun: $(cat "$work/retry.txt")"
[ "$(stat -c %a "$work/retry.txt")" = 600 ] || fail "/retry: mode after the rerun"
[ "$failures" = 0 ] && echo "ok: /retry: holds the failed and not-started lines; its rerun contacts only those"

# A retry path that is a symbolic link is replaced, its target untouched; a
# run with nothing left writes comments alone, and a run of that is refused
# as a list with no router.
echo precious >"$work/retry-target"
ln -s "$work/retry-target" "$work/retry-link"
make_list retry-good "/user:admin /pw:secret /port:${bounded[0]} /ip:127.0.0.1"
rc=0
"$program" "/list:$work/retry-good.list" "/retry:$work/retry-link" >/dev/null 2>&1 </dev/null || rc=$?
[ "$rc" = 0 ] && [ -f "$work/retry-link" ] && [ ! -L "$work/retry-link" ] &&
  [ "$(cat "$work/retry-target")" = precious ] ||
  fail "/retry: a symbolic link: rc=$rc, $(ls -l "$work/retry-link"), target $(cat "$work/retry-target")"
[ "$(tail -n +2 "$work/retry-link")" = "# Nothing is left to retry: every router rebooted or took the answer.
# As a list this file holds no router, and a run of it is refused." ] ||
  fail "/retry: nothing left: $(cat "$work/retry-link")"
rc=0
"$program" "/list:$work/retry-link" /v:n >"$work/retry-empty.out" 2>&1 </dev/null || rc=$?
[ "$rc" = 1 ] && grep -qF "Reason: $work/retry-link: the list holds no router." "$work/retry-empty.out" ||
  fail "/retry: a run of an empty retry list: rc=$rc: $(cat "$work/retry-empty.out")"
[ "$failures" = 0 ] && echo "ok: /retry: replaces a symbolic link, not its target; nothing left is said"

# Refused before any router is contacted: a folder, a FIFO, a device, a
# missing folder, the report's own file.
mkfifo "$work/retry-fifo"
# NAME | options | reason (an extended regular expression)
while IFS='|' read -r name options reason; do
  read -ra words <<<"$options"
  rc=0
  timeout 20 "$program" "/list:$work/retry-good.list" "${words[@]}" /v:n >"$work/$name.out" 2>&1 </dev/null ||
    rc=$?
  [ "$rc" = 1 ] && [ "$(started retry1)" = 2 ] &&
    [[ "$(tr -d '\n' <"$work/$name.out")" =~ ^"The fleet run cannot start.Reason: "$reason\.$ ]] ||
    fail "/retry: $name: rc=$rc, contacted $(started retry1): $(cat "$work/$name.out")"
done <<CASES
retry-folder|/retry:$work|the retry list $work: not a regular file
retry-fifo|/retry:$work/retry-fifo|the retry list $work/retry-fifo: not a regular file
retry-device|/retry:/dev/null|the retry list /dev/null: not a regular file
retry-nowhere|/retry:$work/none/r.txt|the retry list $work/none/r\.txt: its folder cannot take a new file \(No such file or directory\)
retry-report|/report:$work/r.csv /retry:$work/./r.csv|/retry: and /report: name one file
retry-empty|/retry:|unknown argument "/retry:": /retry: names no file
CASES
[ -p "$work/retry-fifo" ] || fail "/retry: the FIFO is no longer one"
[ "$failures" = 0 ] && echo "ok: /retry: a folder, FIFO, device, missing folder or the report refused"

# A retry list that cannot be written (root: a full 8 KiB tmpfs, one page
# taken by the old list, one by a filler): said, the summary and the exit
# status (13) tell it, the old list is left as it was, no new file beside it.
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  make_list retry-closed "/user:admin /pw:secret /port:$closed /ip:127.0.0.1"
  mkdir "$work/retry-full"
  rc=0
  unshare -m bash -c '
    mount -t tmpfs -o size=8k swk-full "$1/retry-full" || exit 99
    echo "old list" >"$1/retry-full/r.txt"
    head -c 4096 /dev/zero >"$1/retry-full/filler"
    "$2" "/list:$1/retry-closed.list" "/retry:$1/retry-full/r.txt" >"$1/retry-full.out" 2>&1 </dev/null
    rc=$?
    ls -A "$1/retry-full" >"$1/retry-full.ls"
    cat "$1/retry-full/r.txt" >"$1/retry-full.old"
    exit $rc' bash "$work" "$program" || rc=$?
  [ "$rc" = 13 ] || fail "/retry: full: rc=$rc: $(cat "$work/retry-full.out")"
  grep -qF "The retry list could not be written, and any old one is left as it was: $work/retry-full/r.txt: No space left on device." "$work/retry-full.out" &&
    grep -qE '^0 rebooted, 1 failed in 0:[0-9]{2}; the retry list was not written$' "$work/retry-full.out" ||
    fail "/retry: full: said: $(cat "$work/retry-full.out")"
  [ "$(cat "$work/retry-full.old")" = "old list" ] && [ "$(paste -sd ' ' "$work/retry-full.ls")" = "filler r.txt" ] ||
    fail "/retry: full: left $(cat "$work/retry-full.ls"): $(cat "$work/retry-full.old")"
  [ "$failures" = 0 ] && echo "ok: /retry: a retry list on a full disk: said, 13, the old one kept"
else
  echo "skipped: the full file system needs root and mount namespaces"
fi

# ---------------------------------------------------------------------------
# 3. Real routers
if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/sshd ] || [ ! -x /usr/sbin/dropbear ]; then
  echo "skipped: the fleet of real routers needs root, sshd and dropbear"
  [ "$failures" -eq 0 ] || exit 1
  exit 0
fi
dir="$work/routers"
user="swkfl$$"
password='Fleet-s3cret'
sshd_router "$dir" "$user" "$password"
# One script for every router: the server port it was reached on picks the
# behaviour. It records the command and the answer per port.
fail_port=$(free_port)
cat >"$dir/ask.sh" <<ASK
#!/bin/sh
port=\${SSH_CONNECTION##* }
printf '%s\n' "\$SSH_ORIGINAL_COMMAND" > $dir/out/command.\$port
printf 'Reboot, yes? [y/N]: '
read -r answer
printf '%s\n' "\$answer" > $dir/out/answer.\$port
if [ "\$port" = "$fail_port" ]; then
  echo 'failure: not allowed to reboot'
  exit 1
fi
echo rebooting
ASK
chmod 755 "$dir/ask.sh"

# sshd: nine healthy routers, one whose key known_hosts contradicts, one
# that refuses after the answer.
sshd_ports=()
for i in $(seq 10); do sshd_ports+=("$(free_port)"); done
sshd_ports+=("$fail_port")
changed_port=${sshd_ports[9]}
sshd_router_config "$dir" "$user" "${sshd_ports[*]}" "$dir/host_key"
/usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.err" &
server_pids+=($!)

# dropbear: six healthy routers and one given the wrong password. Dropbear
# lets at most five connections from one address wait for authentication
# (a router is one machine, met once), so the seven ports are shared by two.
dropbearkey -t ed25519 -f "$dir/dropbear_key" >/dev/null 2>&1
dropbear_ports=()
for i in $(seq 7); do dropbear_ports+=("$(free_port)"); done
for half in "0 4" "4 3"; do
  read -r from count <<<"$half"
  dropbear_args=()
  for p in "${dropbear_ports[@]:from:count}"; do dropbear_args+=(-p "127.0.0.1:$p"); done
  /usr/sbin/dropbear -F -E -w -j -k -r "$dir/dropbear_key" -P "$dir/dropbear.$from.pid" \
    "${dropbear_args[@]}" -c "$dir/ask.sh" 2>>"$dir/dropbear.err" &
  server_pids+=($!)
done

# An old router: its sshd offers only a key exchange this side does not
# allow.
old_port=$(free_port)
sed -e '/^ListenAddress/d' -e "s|^PidFile .*|PidFile $dir/old.pid|" "$dir/sshd_config" >"$dir/old_config"
printf 'ListenAddress 127.0.0.1:%s\nKexAlgorithms diffie-hellman-group1-sha1\n' "$old_port" >>"$dir/old_config"
/usr/sbin/sshd -D -e -f "$dir/old_config" 2>"$dir/old.err" &
server_pids+=($!)

# A router that accepts the connection and never says a word.
silent_port=$(free_port)
python3 -c '
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8)
held = []
while True:
    held.append(s.accept()[0])
' "$silent_port" &
server_pids+=($!)
closed_port=$(free_port)

for p in "${sshd_ports[@]}" "${dropbear_ports[@]}" "$silent_port" "$old_port"; do
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1',$p),1)" 2>/dev/null && break
    sleep 0.1
  done
done

# known_hosts already holds another key for one router.
ssh-keygen -q -t ed25519 -N '' -f "$work/other_key"
echo "[127.0.0.1]:$changed_port $(cut -d' ' -f1,2 "$work/other_key.pub")" >"$HOME/.ssh/known_hosts"

line_for() { echo "/user:$user /pw:$2 /port:$1 /ip:127.0.0.1"; }
healthy=("${sshd_ports[@]:0:9}" "${dropbear_ports[@]:0:6}")
lines=("# sshd")
for p in "${sshd_ports[@]}"; do lines+=("$(line_for "$p" "$password")"); done
lines+=("" "# dropbear")
for p in "${dropbear_ports[@]:0:6}"; do lines+=("$(line_for "$p" "$password")"); done
lines+=("$(line_for "${dropbear_ports[6]}" wrong-password)")
lines+=("$(line_for "$closed_port" "$password")" "$(line_for "$silent_port" "$password")")
lines+=("$(line_for "$old_port" "$password")")
make_list fleet "${lines[@]}"

# The preflight of the same fleet: every router met as for a reboot, each
# row the status a reboot would get (the router that refuses only after the
# answer looks ready), and no router ran its command: ask.sh writes
# command.PORT whenever it runs. Nothing is recorded in known_hosts.
cp "$HOME/.ssh/known_hosts" "$work/known_hosts.before"
logins_before=$(grep -c '^Accepted password' "$dir/sshd.err" || true)
status=0
"$program" "/list:$work/fleet.list" /v:n /check:y "/report:$work/check.csv" </dev/null \
  >"$work/check.out" 2>&1 || status=$?
[ "$status" = 10 ] || fail "check: exit status $status, expected 10"
ran=$(find "$dir/out" -name 'command.*' | wc -l)
[ "$ran" = 0 ] || fail "check: $ran routers ran their command"
cmp -s "$HOME/.ssh/known_hosts" "$work/known_hosts.before" || fail "check: known_hosts changed"
# sshd's own log: the nine healthy routers and the refusing one logged in.
logins=$(($(grep -c '^Accepted password' "$dir/sshd.err" || true) - logins_before))
[ "$logins" = 10 ] || fail "check: sshd accepted $logins logins, expected 10"
check_row() { csv_head 7 <"$work/check.csv" | grep ",127.0.0.1,$1,$user,"; }
for p in "${healthy[@]}" "$fail_port"; do
  [[ "$(check_row "$p")" =~ ^[0-9]+,127\.0\.0\.1,$p,$user,0,ready,its\ host\ key\ is\ not\ yet\ known:\ a\ reboot\ would\ record\ ED25519\ key\ SHA256:[A-Za-z0-9+/]+\ in\ .*/known_hosts$ ]] ||
    fail "check: router on $p: $(check_row "$p")"
done
while IFS='|' read -r p expected; do
  [[ "$(check_row "$p")" =~ ^[0-9]+,127\.0\.0\.1,$p,$user,$expected,failed, ]] ||
    fail "check: router on $p: $(check_row "$p")"
done <<CASES
$changed_port|5
${dropbear_ports[6]}|6
$closed_port|3
$silent_port|4
$old_port|9
CASES
grep -qE '^16 ready, 5 failed in ' "$work/check.out" || fail "check: summary: $(cat "$work/check.out")"
[ "$failures" = 0 ] && echo "ok: /check:y on 21 real routers: statuses as a reboot's, no command run"

start=$(date +%s.%N)
status=0
"$program" "/list:$work/fleet.list" /v:n "/report:$work/fleet.csv" </dev/null >/dev/null 2>&1 ||
  status=$?
seconds=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
[ "$status" = 10 ] || fail "fleet: exit status $status, expected 10"
# One round of at most 45 s, and the closing pause after failures.
within 52 || fail "fleet: took $seconds s, more than one round of 45 s and the pause"

# row PORT: the report's record for that router, without its seconds.
row() { csv_head 7 <"$work/fleet.csv" | grep ",127.0.0.1,$1,$user,"; }
for p in "${healthy[@]}"; do
  [ "$(row "$p")" = "$(grep -n ":$p /ip" "$work/fleet.list" | cut -d: -f1),127.0.0.1,$p,$user,0,rebooted," ] ||
    fail "fleet: healthy $p: $(row "$p")"
  [ "$(cat "$dir/out/answer.$p" 2>/dev/null)" = y ] || fail "fleet: healthy $p did not get y"
  [ "$(cat "$dir/out/command.$p" 2>/dev/null)" = "/system reboot" ] || fail "fleet: $p: command"
  ssh-keygen -F "[127.0.0.1]:$p" -f "$HOME/.ssh/known_hosts" >/dev/null ||
    fail "fleet: $p was not recorded in known_hosts"
done
# PORT | status | reason (an extended regular expression)
while IFS='|' read -r p expected reason; do
  got=$(row "$p")
  [[ "$got" =~ ^[0-9]+,127\.0\.0\.1,$p,$user,$expected,failed,$reason$ ]] ||
    fail "fleet: router on $p: $got"
done <<CASES
$changed_port|5|.*host key.*
${dropbear_ports[6]}|6|the user name or password was refused
$closed_port|3|the router refused the connection
$silent_port|4|.*
$fail_port|8|"?The reboot failed: the router reported exit status 1.*
$old_port|9|.*
CASES
# The question each router asked, for the audit: the 16 that asked one.
[ "$(grep -cF ',"Reboot, yes? [y/N]: "'$'\r' "$work/fleet.csv")" = 16 ] ||
  fail "fleet: the question column: $(cat "$work/fleet.csv")"
[ -e "$dir/out/answer.$changed_port" ] && fail "fleet: the router with the changed key got an answer"
[ -e "$dir/out/answer.${dropbear_ports[6]}" ] && fail "fleet: the refused login got an answer"
[ "$(cat "$dir/out/answer.$fail_port" 2>/dev/null)" = y ] || fail "fleet: the refusing router did not get y"
[ "$(grep -c $'\r$' "$work/fleet.csv")" = 22 ] ||
  fail "fleet: the report does not hold a header and 21 rows: $(cat "$work/fleet.csv")"
grep -q "$password" "$work/fleet.csv" && fail "fleet: the report holds the password"
[ "$failures" = 0 ] && echo "ok: fleet of 21 real routers (status $status, $seconds s)"

for p in "${healthy[@]}"; do line_for "$p" "$password"; done >"$work/healthy.list"
chmod 600 "$work/healthy.list"
status=0
"$program" "/list:$work/healthy.list" /v:n </dev/null >/dev/null 2>&1 || status=$?
[ "$status" = 0 ] || fail "healthy fleet: exit status $status, expected 0"
[ "$failures" = 0 ] && echo "ok: fleet of the 15 healthy routers (status 0)"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all fleet checks passed"
