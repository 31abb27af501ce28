#!/usr/bin/env bash
# The Windows release zip as a Windows admin gets it: unpacked, its files
# there, the exe's version resource and manifest read back through Windows'
# own calls, --version, the Task Scheduler task well formed, and a run with
# no console leaving its Application event (Wine prints each event's strings
# on its eventlog debug channel: errors as err:, warnings as warn:, the rest
# as trace:).
# Usage: windows_release_test.sh ZIP ROUTER_SIM VERSION_INFO_EXE
# Wants WINEPREFIX set and a wineserver kept up by the caller.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
zip=$1
sim=$2
version_info=$3
: "${WINEPREFIX:?}"
export LANG=C.UTF-8

work=$(mktemp -d)
cleanup() {
  stop_sims
  rm -rf "$work"
}
trap cleanup EXIT
failures=0

# --- Unpacked: the files a Windows admin expects ---
python3 -m zipfile -e "$zip" "$work/unpacked" || { echo "FAIL: the zip does not unpack"; exit 1; }
top=$(ls "$work/unpacked")
release="$work/unpacked/$top"
[[ "$top" =~ ^swKicker-[0-9]+\.[0-9]+-windows-x86_64$ ]] || fail "zip: top folder $top"
for file in swKicker.exe README.md LICENSE.txt examples/swkicker-fleet-task.xml \
  examples/routers-example.txt; do
  [ -s "$release/$file" ] || fail "zip: no $file"
done
head -c 2000 "$release/README.md" | grep -q $'\r$' || fail "zip: README.md without Windows line ends"
exe="$release/swKicker.exe"

# --- The version resource and the manifest, as Windows reads them ---
WINEDEBUG=-all wine "$version_info" "$(winepath -w "$exe" 2>/dev/null)" </dev/null \
  | tr -d '\r' >"$work/version_info.txt"
version=${top#swKicker-}
version=${version%-windows-x86_64}
for line in "ProductName=swKicker" "ProductVersion=$version" "FileVersion=$version" \
  "fixed=$version.0.0" "OriginalFilename=swKicker.exe" "manifest=asInvoker"; do
  grep -qxF "$line" "$work/version_info.txt" || fail "version resource: no $line: $(cat "$work/version_info.txt")"
done

# --- --version from the unpacked exe, no console: one line on standard output ---
WINEDEBUG=-all setsid timeout 60 wine "$exe" --version </dev/null >"$work/version.out" 2>&1
tr -d '\r' <"$work/version.out" | grep -qxE "swKicker $version, libssh 0\.[0-9]+\.[0-9]+.*, Windows x86_64" ||
  fail "--version: $(cat "$work/version.out")"

# --- The Task Scheduler task: UTF-16, well formed, the fleet every night ---
python3 - "$release/examples/swkicker-fleet-task.xml" <<'PY' || fail "task XML"
import sys, xml.etree.ElementTree as ET
data = open(sys.argv[1], "rb").read()
assert data.startswith(b"\xff\xfe"), "not UTF-16 with a byte order mark"
root = ET.fromstring(data.decode("utf-16").encode("utf-8").replace(b'encoding="UTF-16"', b''))
ns = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
command = root.find("t:Actions/t:Exec/t:Command", ns).text
arguments = root.find("t:Actions/t:Exec/t:Arguments", ns).text
assert command.endswith("swKicker.exe"), command
assert arguments.startswith("/list:") and "/report:" in arguments, arguments
assert root.find("t:Triggers/t:CalendarTrigger/t:ScheduleByDay/t:DaysInterval", ns).text == "1"
PY

# --- A run with no console leaves one Application event (source swKicker) ---
wine_ssh_files_reset || { echo "FAIL: no Wine profile"; exit 1; }
run_sim events --user admin --password secret --lifetime 120 || fail "simulator did not start"
# event NAME ARGS...: the exe with no console, Wine's eventlog channel in
# $work/NAME.events; status in $status.
event() {
  local name=$1
  shift
  status=0
  WINEDEBUG=-all,+eventlog setsid timeout 120 wine "$exe" "$@" </dev/null \
    >"$work/$name.out" 2>"$work/$name.events" || status=$?
}
event answered /user:admin /pw:secret "/port:$sim_port" /v:n /ip:127.0.0.1
[ "$status" = 0 ] || fail "event (answered): exit status $status"
# One event, information, with the syslog line's fields (Wine shows the
# string as a wide literal, quotes escaped).
[ "$(grep -c ':eventlog:ReportEventW' "$work/answered.events")" = 1 ] ||
  fail "event (answered): not one event: $(grep eventlog "$work/answered.events" | head -5)"
# It is the first contact in a fresh profile: the key recorded comes last.
grep -qxE "[0-9a-f]+:trace:eventlog:ReportEventW L\"address=127\.0\.0\.1 port=$sim_port user=admin outcome=answered added_key=.*ED25519 SHA256:[A-Za-z0-9+/]+.* known_hosts=.*known_hosts.*\"" \
  "$work/answered.events" || fail "event (answered): $(grep eventlog "$work/answered.events" | head -5)"
event refused /user:admin /pw:wrong "/port:$sim_port" /v:n /ip:127.0.0.1
[ "$status" = 6 ] || fail "event (refused): exit status $status"
[ "$(grep -c ':eventlog:ReportEventW' "$work/refused.events")" = 1 ] ||
  fail "event (refused): not one event: $(grep eventlog "$work/refused.events" | head -5)"
grep -E '^[0-9a-f]+:warn:eventlog:ReportEventW ' "$work/refused.events" |
  grep -qF "address=127.0.0.1 port=$sim_port user=admin outcome=failed reason=\\\"authentication refused\\\"" ||
  fail "event (refused): $(grep eventlog "$work/refused.events" | head -5)"
# Its failure and reason went to standard error (here beside Wine's
# channel), as plain lines; nothing to standard output in quiet mode.
tr -d '\r' <"$work/refused.events" | grep -qxF "Reason: the user name or password was refused." ||
  fail "event (refused): standard error: $(cat "$work/refused.events")"
[ ! -s "$work/refused.out" ] || fail "event (refused): standard output: $(cat "$work/refused.out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "Windows release: all checks passed"
