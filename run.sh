#!/usr/bin/env bash
# Installs what is missing for the program, builds the program and the
# router simulator (no tests), and runs swKicker.
#   ./run.sh                 reboots the built-in router simulator on loopback
#                            (verbose), to try the tool without a router
#   ./run.sh /user:... ...   passes the five options to swKicker for a real router
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
scripts/build.sh build --program >/dev/null

if [ $# -gt 0 ]; then
  exec build/swKicker "$@"
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator makes a fresh host key each run; a HOME of its own keeps the
# demo from meeting an old known_hosts entry for the same loopback port.
build/swKicker-router-sim --user admin --password secret --log "$work/router.log" \
  --count 1 --lifetime 120 >"$work/port" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/port")
if [ -z "$port" ]; then
  echo "the router simulator did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
echo "router simulator listening on 127.0.0.1:$port"
echo "running: build/swKicker /user:admin /pw:secret /port:$port /v:y /ip:127.0.0.1"

status=0
HOME="$work" build/swKicker /user:admin /pw:secret /port:"$port" /v:y /ip:127.0.0.1 || status=$?

echo "swKicker exit status: $status"
# The simulator logs a connection once it has closed; give it a moment.
for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
if [ -s "$work/router.log" ]; then
  python3 - "$work/router.log" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print("the router received: command %r from user %r, answer %r, clean close: %s"
          % (r.get("command"), r.get("user"), r.get("answer"), r.get("clean_close")))
PY
else
  echo "the router logged no connection"
fi
exit "$status"
