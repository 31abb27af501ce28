#!/usr/bin/env bash
# What a script, cron or a log file sees of a run with no terminal (setsid,
# output in files): progress on standard output and every failure with its
# reason on standard error as plain lines, for the single command and a
# fleet in both modes; no pause nobody sees; help, version and the bare
# usage as text; a reader that goes away (`| head -1`) not cutting a reboot.
# Usage: unattended_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
own_system_ssh_config "$0" "$@"

program=$1
sim=$2
test_begin unattended
unset NO_COLOR
own_home
trap test_end EXIT

start_sim 's3cret pw' 280
# A second router whose password is another one: the fleet's failing row.
run_sim other --user admin --password 'other pw' --lifetime 280 ||
  { echo "FAIL: the second simulator did not start"; exit 1; }
other_port=$sim_port

answers() { grep -c '"answer":"y"' "$work/router.log" 2>/dev/null || true; }

# unattended NAME ARGS...: the program with no controlling terminal, input
# from /dev/null, output in $work/NAME.out and $work/NAME.err, traced for
# its waits in $work/NAME.trace; status in $status, time in $seconds.
unattended() {
  local name=$1 start end
  shift
  start=$(date +%s.%N)
  status=0
  setsid -w strace -f -qq -e trace=poll,ppoll -o "$work/$name.trace" "$program" "$@" \
    </dev/null >"$work/$name.out" 2>"$work/$name.err" || status=$?
  end=$(date +%s.%N)
  seconds=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }')
}

# pauses NAME: how many pauses the program made; a pause is the one wait
# on no descriptor at all (fd -1 first), whatever its length.
pauses() { grep -c 'poll(\[{fd=-1' "$work/$1.trace" || true; }

# check NAME STATUS OUT ERR: the run's status and both files exactly, no
# escape byte in either, and no pause.
check() {
  local name=$1 want=$2 out=$3 err=$4
  [ "$status" = "$want" ] || fail "$name: exit status $status, expected $want"
  [ "$(cat "$work/$name.out")" = "$out" ] || fail "$name: standard output: $(cat "$work/$name.out")"
  [ "$(cat "$work/$name.err")" = "$err" ] || fail "$name: standard error: $(cat "$work/$name.err")"
  if grep -q $'\e' "$work/$name.out" "$work/$name.err"; then fail "$name: escape bytes"; fi
  [ "$(pauses "$name")" = 0 ] || fail "$name: paused with nobody to see it"
  echo "$name: $seconds s"
}

args() { echo "/user:admin" "/pw:$1" "/port:$2" "/v:$3" "/ip:127.0.0.1"; }

# --- The single command, both modes, a reboot and a wrong password ---
# The first run is the first contact: the key it records is named as ssh
# names it, with the fingerprint ssh-keygen gives for the recorded line.
before=$(answers)
unattended verbose /user:admin '/pw:s3cret pw' "/port:$port" /v:y /ip:127.0.0.1
fingerprint=$(ssh-keygen -lf "$HOME/.ssh/known_hosts" | awk '{ print $2 }')
check verbose 0 "SWKicker v1.0

connecting to 127.0.0.1 and sending reboot command
permanently added '[127.0.0.1]:$port' (ED25519 key $fingerprint) to $HOME/.ssh/known_hosts
responding 'y' to question
disconnecting from 127.0.0.1
done - quitting in 4 seconds" ""
[ "$(answers)" = $((before + 1)) ] || fail "verbose: the router got no answer"

unattended quiet /user:admin '/pw:s3cret pw' "/port:$port" /v:n /ip:127.0.0.1
check quiet 0 "" ""

refused="Connection attempt failed. Error: 'invalid client'.
Reason: the user name or password was refused."
unattended verbose_refused /user:admin /pw:wrong "/port:$port" /v:y /ip:127.0.0.1
check verbose_refused 6 "SWKicker v1.0

connecting to 127.0.0.1 and sending reboot command
done - quitting in 4 seconds" "$refused"
unattended quiet_refused /user:admin /pw:wrong "/port:$port" /v:n /ip:127.0.0.1
check quiet_refused 6 "" "$refused"

# ssh, meeting the same router first, names it the same way and records the
# same key.
ssh -o BatchMode=yes -o StrictHostKeyChecking=accept-new -o UserKnownHostsFile="$work/ssh_known_hosts" \
  -o GlobalKnownHostsFile=/dev/null -p "$port" admin@127.0.0.1 true </dev/null >/dev/null 2>"$work/ssh_first.err" || true
grep -qF "Permanently added '[127.0.0.1]:$port' (ED25519)" "$work/ssh_first.err" ||
  fail "ssh's first contact: $(cat "$work/ssh_first.err")"
[ "$(ssh-keygen -lf "$work/ssh_known_hosts" | awk '{ print $2 }')" = "$fingerprint" ] ||
  fail "ssh recorded another key than swKicker"

# --- A changed key: the key the router showed and the line that forgets
# the old one, as ssh gives them ---
cp "$HOME/.ssh/known_hosts" "$work/known_hosts.right"
ssh-keygen -q -t ed25519 -N '' -f "$work/other_key"
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$work/other_key.pub")" >"$HOME/.ssh/known_hosts"
cp "$HOME/.ssh/known_hosts" "$work/ssh_changed"
unattended changed /user:admin '/pw:s3cret pw' "/port:$port" /v:n /ip:127.0.0.1
check changed 5 "" "Connection attempt failed. Error: 'invalid client'.
Reason: the router's host key has changed: $HOME/.ssh/known_hosts line 1; the router showed ED25519 key $fingerprint; if that is its new key, remove the old entry with: ssh-keygen -f \"$HOME/.ssh/known_hosts\" -R \"[127.0.0.1]:$port\"."
ssh -o BatchMode=yes -o StrictHostKeyChecking=yes -o UserKnownHostsFile="$work/ssh_changed" \
  -o GlobalKnownHostsFile=/dev/null -p "$port" admin@127.0.0.1 true </dev/null >/dev/null 2>"$work/ssh_changed.err" || true
# ssh ends these lines with CR LF.
tr -d '\r' <"$work/ssh_changed.err" | grep -qxF "$fingerprint." || fail "ssh showed another fingerprint: $(cat "$work/ssh_changed.err")"
grep -qF "ssh-keygen -f \"$work/ssh_changed\" -R \"[127.0.0.1]:$port\"" "$work/ssh_changed.err" ||
  fail "ssh's removal line differs: $(cat "$work/ssh_changed.err")"
# The line given works: the old entry goes, and the next run records the key.
ssh-keygen -f "$HOME/.ssh/known_hosts" -R "[127.0.0.1]:$port" >/dev/null 2>&1
unattended after_removal /user:admin '/pw:s3cret pw' "/port:$port" /v:n /ip:127.0.0.1
check after_removal 0 "" ""
cmp -s <(cut -d' ' -f2,3 "$HOME/.ssh/known_hosts") <(cut -d' ' -f2,3 "$work/known_hosts.right") ||
  fail "after removal: the router's key was not recorded again"

# --- A fleet, one router rebooted and one refusing the password ---
printf '/user:admin "/pw:s3cret pw" /port:%s /ip:127.0.0.1\n' "$port" >"$work/list"
printf '/user:admin "/pw:s3cret pw" /port:%s /ip:127.0.0.1\n' "$other_port" >>"$work/list"
chmod 600 "$work/list"
fleet_check() {
  local name=$1 failed_line
  [ "$status" = 10 ] || fail "$name: exit status $status"
  failed_line=$(grep -xE "127\.0\.0\.1:$other_port failed [0-9.]+ s: the user name or password was refused" \
    "$work/$name.err" || true)
  [ -n "$failed_line" ] || fail "$name: no failed line on standard error: $(cat "$work/$name.err")"
  [ "$(wc -l <"$work/$name.err")" = 1 ] || fail "$name: standard error: $(cat "$work/$name.err")"
  grep -qxE '1 rebooted, 1 failed in 0:[0-9]{2}' "$work/$name.out" ||
    fail "$name: no summary: $(cat "$work/$name.out")"
  if grep -q $'\e' "$work/$name.out" "$work/$name.err"; then fail "$name: escape bytes"; fi
  [ "$(pauses "$name")" = 0 ] || fail "$name: paused with nobody to see it"
  echo "$name: $seconds s"
}
unattended fleet_verbose "/list:$work/list" /v:y
fleet_check fleet_verbose
grep -qxE "127\.0\.0\.1:$port rebooted [0-9.]+ s" "$work/fleet_verbose.out" ||
  fail "fleet_verbose: no rebooted line: $(cat "$work/fleet_verbose.out")"
head -n 1 "$work/fleet_verbose.out" | grep -qx 'SWKicker v1.0' || fail "fleet_verbose: no banner"
unattended fleet_quiet "/list:$work/list" /v:n
fleet_check fleet_quiet
[ "$(wc -l <"$work/fleet_quiet.out")" = 1 ] || fail "fleet_quiet: standard output: $(cat "$work/fleet_quiet.out")"

# With /report:- standard output holds the CSV alone; the run's lines go to
# standard error.
unattended fleet_csv "/list:$work/list" /v:y /report:-
[ "$status" = 10 ] || fail "fleet_csv: exit status $status"
head -n 1 "$work/fleet_csv.out" | grep -q '^line,address,port,user,' ||
  fail "fleet_csv: standard output: $(cat "$work/fleet_csv.out")"
[ "$(wc -l <"$work/fleet_csv.out")" = 3 ] || fail "fleet_csv: standard output: $(cat "$work/fleet_csv.out")"
grep -qx 'SWKicker v1.0' "$work/fleet_csv.err" && grep -qE '^1 rebooted, 1 failed in ' "$work/fleet_csv.err" ||
  fail "fleet_csv: standard error: $(cat "$work/fleet_csv.err")"

# --- Help, version and the bare usage as text, status 0, no pause ---
for help in --help -h -? /?; do
  unattended help "$help"
  [ "$status" = 0 ] || fail "help ($help): exit status $status"
  grep -qx 'syntax:' "$work/help.out" || fail "help ($help): $(cat "$work/help.out")"
  grep -q '^exit status: 0 done, .* 12 not back, 13 report or retry list not written whole, 14 fleet halted, 128+N stopped by signal N$' "$work/help.out" ||
    fail "help ($help): no exit statuses: $(cat "$work/help.out")"
  [ ! -s "$work/help.err" ] || fail "help ($help): standard error: $(cat "$work/help.err")"
  [ "$(pauses help)" = 0 ] || fail "help ($help): paused"
done
unattended bare
[ "$status" = 0 ] || fail "bare: exit status $status"
cmp -s "$work/bare.out" "$work/help.out" || fail "bare: not the usage text: $(cat "$work/bare.out")"
for version in --version /version; do
  unattended version "$version"
  [ "$status" = 0 ] || fail "version ($version): exit status $status"
  grep -qxE 'swKicker 1\.[0-9]+, libssh 0\.[0-9]+\.[0-9]+.*, Linux [a-z0-9_]+' "$work/version.out" &&
    [ "$(wc -l <"$work/version.out")" = 1 ] || fail "version ($version): $(cat "$work/version.out")"
done

# --- A reader that goes away does not cut the reboot ---
before=$(answers)
set +o pipefail
setsid -w "$program" /user:admin '/pw:s3cret pw' "/port:$port" /v:y /ip:127.0.0.1 </dev/null |
  head -n 1 >"$work/head.out"
head_status=${PIPESTATUS[0]}
set -o pipefail
[ "$head_status" = 0 ] || fail "| head: exit status $head_status"
[ "$(cat "$work/head.out")" = "SWKicker v1.0" ] || fail "| head: $(cat "$work/head.out")"
[ "$(answers)" = $((before + 1)) ] || fail "| head: the router got no answer"

# --- The same run in a terminal does pause: the trace shows pauses ---
run_in_pty pty strace -f -qq -e trace=poll,ppoll -o "$work/pty.trace" \
  "$program" /user:admin /pw:wrong "/port:$port" /v:n /ip:127.0.0.1
[ "$(pauses pty)" = 1 ] || fail "pty: $(pauses pty) pauses, one expected (the check would miss them)"

test_exit
echo "unattended runs: all checks passed"
