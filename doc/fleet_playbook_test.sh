#!/usr/bin/env bash
# The Ansible example (doc/examples/swkicker-fleet.yml): its syntax with the
# example inventory, then real runs on "jump hosts" that are this machine
# (connection local), each with its own list of router simulators:
#   - all routers rebooted on one, one router refused on another (exit 10:
#     that jump host fails, failed=1 in PLAY RECAP, after the report is
#     fetched, the failed router named in the failure);
#   - a list that cannot be used (exit 1) failing its jump host, and exit 10
#     only listed under swkicker_allow_failed_routers.
# Each fetched report must hold one row per router, with its outcome; the
# list is copied private and its passwords never shown.
# Usage: fleet_playbook_test.sh PATH_TO_swKicker PATH_TO_swKicker-router-sim EXAMPLES_DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../tests/test_lib.sh"
own_system_ssh_config "$0" "$@"

program=$(realpath "$1")
sim=$2
examples=$(realpath "$3")
test_begin fleet-playbook
unset SSH_AUTH_SOCK
own_home  # known_hosts of this test's own, and Ansible's files
# Ansible with nothing of the machine's: no configuration file, no colours.
export ANSIBLE_CONFIG="$work/none.cfg" ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
  ANSIBLE_LOCAL_TEMP="$work/ansible-tmp" ANSIBLE_LOCALHOST_WARNING=0
trap test_end EXIT

password='s3cret-fleet'

# --- The example as shipped: syntax and inventory ---
if out=$(ansible-playbook --syntax-check -i "$examples/swkicker-fleet-inventory.yml" \
           "$examples/swkicker-fleet.yml" 2>&1); then
  echo "ok: syntax of the example"
else
  fail "syntax: $out"
fi

run_sim routers --user admin --password "$password" --log "$work/routers.log" \
  --lifetime 280 --ports 5 ||
  { echo "FAIL: the simulator did not start: $(cat "$work/routers.err")"; exit 1; }
mapfile -t ports <"$work/routers.port"
closed_port=$(free_port)

# list NAME PORT...: a list of the simulators on PORT..., as a user would
# write it (a comment, a blank line, quotes), readable by all: the playbook
# must copy it private.
list() {
  local name=$1 port
  shift
  mkdir -p "$work/lists"
  {
    echo "# routers of $name"
    echo
    for port in "$@"; do
      echo "/user:admin \"/pw:$password\" /port:$port /ip:127.0.0.1"
    done
  } >"$work/lists/$name.list"
  chmod 644 "$work/lists/$name.list"
}

# inventory FILE HOST:VARS...: an inventory of jump hosts on this machine,
# each with its list copied from $work/lists/HOST.list when it exists, its
# list and report in $work/HOST/, and VARS (YAML flow items) added.
inventory() {
  local file=$1 entry host extra
  shift
  {
    echo "jumphosts:"
    echo "  hosts:"
    for entry in "$@"; do
      host=${entry%%:*}
      extra=${entry#*:}
      echo "    $host: {swkicker_list: $work/$host/routers.list, swkicker_report: $work/$host/report.csv${extra:+, $extra}"
      [ -f "$work/lists/$host.list" ] && echo "      , swkicker_list_src: $work/lists/$host.list"
      echo "      }"
    done
    echo "  vars:"
    echo "    ansible_connection: local"
    echo "    ansible_python_interpreter: /usr/bin/python3"
    echo "    swkicker_program: $program"
    echo "    swkicker_reports_dir: $work/reports"
    echo "    swkicker_jobs: 2"
  } >"$file"
}

# play NAME INVENTORY: runs the example; its output in $work/NAME.out, the
# status in $status.
play() {
  status=0
  (cd "$work" && ansible-playbook -i "$2" "$examples/swkicker-fleet.yml") \
    >"$work/$1.out" 2>&1 || status=$?
}

# report_is HOST EXPECTED: the report fetched from HOST has the header and
# one row per router, whose (port, outcome) pairs, in list order, are
# EXPECTED ("PORT:OUTCOME ...").
report_is() {
  python3 - "$work/reports/$1/report.csv" "$2" <<'PY'
import csv, sys
path, expected = sys.argv[1], sys.argv[2].split()
with open(path, newline="") as f:
    rows = list(csv.reader(f))
assert rows[0][:8] == ["line", "address", "port", "user", "exit status", "outcome", "reason",
                       "seconds"], rows[0]
got = ["%s:%s" % (r[2], r[5]) for r in sorted(rows[1:], key=lambda r: int(r[0]))]
assert got == expected, "rows %s, expected %s" % (got, expected)
PY
}

# --- Two jump hosts: all rebooted on one, one router refused on the other ---
list jump1 "${ports[0]}" "${ports[1]}" "${ports[2]}"
list jump2 "${ports[3]}" "$closed_port" "${ports[4]}"
inventory "$work/two.yml" jump1: jump2:
play two "$work/two.yml"
before=$failures
# A host failed: ansible-playbook ends with 2.
[ "$status" = 2 ] || fail "two: ansible-playbook ended with $status, not 2: $(tail -n 30 "$work/two.out")"
report_is jump1 "${ports[0]}:rebooted ${ports[1]}:rebooted ${ports[2]}:rebooted" ||
  fail "two: the report of jump1"
report_is jump2 "${ports[3]}:rebooted $closed_port:failed ${ports[4]}:rebooted" ||
  fail "two: the report of jump2"
# The router that failed is named in jump2's failure.
grep -q 'swKicker ended with status 10 (some routers did not reboot)' "$work/two.out" ||
  fail "two: status 10 is not named"
grep 'swKicker ended with status 10' "$work/two.out" | grep -q "127.0.0.1,$closed_port,admin,3,failed," ||
  fail "two: the failed router is not named in the failure"
grep -q 'jump1 *: ok=.* failed=0' "$work/two.out" && grep -q 'jump2 *: ok=.* failed=1' "$work/two.out" ||
  fail "two: the recap: $(grep -A3 RECAP "$work/two.out")"
for host in jump1 jump2; do
  [ "$(stat -c %a "$work/$host/routers.list")" = 600 ] || fail "two: the list on $host is not private"
done
grep -qF "$password" "$work/two.out" && fail "two: the output shows a password"
answered=$(grep -c '"answer":"y"' "$work/routers.log" || true)
[ "$answered" = 5 ] || fail "two: the routers took $answered answers, not 5"
[ "$failures" = "$before" ] && echo "ok: two jump hosts, one with a router refused (exit 10) fails"

# --- An unusable list fails; exit 10 allowed is only listed ---
# jump3 has no list at all; jump2 again, its failed routers allowed.
inventory "$work/failing.yml" jump3: "jump2:swkicker_allow_failed_routers: true"
play failing "$work/failing.yml"
before=$failures
[ "$status" = 2 ] || fail "failing: ansible-playbook ended with $status, not 2 (hosts failed)"
grep -q 'jump3 *: ok=.* failed=1' "$work/failing.out" || fail "failing: jump3 did not fail"
grep -q 'jump2 *: ok=.* failed=0' "$work/failing.out" || fail "failing: allowed jump2 failed"
grep -q 'swKicker ended with status 1' "$work/failing.out" || fail "failing: status 1 is not named"
[ "$(grep -c "127.0.0.1,$closed_port,admin,3,failed," "$work/failing.out")" = 1 ] ||
  fail "failing: the allowed failed router is not listed once"
report_is jump2 "${ports[3]}:rebooted $closed_port:failed ${ports[4]}:rebooted" ||
  fail "failing: the report of jump2 was not fetched"
[ -e "$work/reports/jump3" ] && fail "failing: a report was fetched for the unusable list"
[ "$failures" = "$before" ] && echo "ok: an unusable list (exit 1) fails its host, an allowed exit 10 does not"

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
