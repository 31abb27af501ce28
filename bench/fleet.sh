#!/usr/bin/env bash
# The fleet run measured beside parallel-ssh (Debian's pssh), on loopback:
# the same routers, the same concurrency (/jobs:N and -p N), the same remote
# command "/system reboot", and "y" as the answer (parallel-ssh -I sends its
# standard input, "y", to every router).
#
# Routers:
#   - the router simulator with --ports, one port per router (50, 200 and
#     1000 routers);
#   - as root, OpenSSH's sshd (50 and 200 routers): several sshd processes on
#     loopback ports (sshd listens on 16 sockets at most), each with its own
#     configuration, a shared host key, MaxStartups raised so that no
#     connection is dropped, and a forced command that asks "Reboot now?
#     [y/N]: " without a line feed, as a router does, and records what
#     arrived.
# Every router must have been asked and have taken "y" in every run, and
# both clients must end with status 0; a run that goes wrong stops the
# script. Figures only: nothing here fails because something is slow.
#
# Fair conditions: both clients authenticate with the same ed25519 key and
# no password (parallel-ssh takes a password only from a terminal, through a
# helper process per connection, which would be measured with it); both
# read the same SSH configuration file, which checks host keys strictly
# against one known_hosts file that lists every router beforehand, so
# neither writes anything. Each client keeps its own algorithms: against
# sshd, ssh negotiates sntrup761x25519 (more work per connection) where
# swKicker's libssh offers curve25519; against the simulator both use
# curve25519. The servers run on the same two cores as the clients, so wall
# times include the servers' work.
#
# Per run: wall time; CPU seconds (user + system) of the client and every
# process it starts (bench/fleet_measure.py reaps them all and reads
# RUSAGE_CHILDREN); peak memory: for swKicker its maximum RSS (one
# process), for parallel-ssh the parallel-ssh process's and the largest ssh
# child's peak RSS (sampled), and for both the largest RSS of the whole
# client tree at one moment (sampled every 100 ms).
# Then, on the 1000 simulator routers, swKicker alone at several /jobs:
# values, to choose the default by measurement: once on the simulator as it
# is, whose own work on the same cores sets the pace, and once on simulators
# that wait 50 ms before each step of the conversation, as a distant or slow
# router keeps a client waiting.
#
# usage: bench/fleet.sh [BUILD_FOLDER] (default build-bench)
#   JOBS=32        concurrency of the side-by-side runs
#   SWEEP="8 16 32 64 128"   /jobs: values of the last part
#   SIM_SIZES="50 200 1000" SSHD_SIZES="50 200"
#   SLOW_MS=50     the slow routers' wait before each step (0: no such part)
#   SWKICKER=path  measures another swKicker binary
set -euo pipefail
# As root, both clients read the same configuration and nothing of the
# machine's: an empty file stands for /etc/ssh/ssh_config in a private mount
# namespace (ssh given -F reads no system file anyway).
source "$(dirname "$0")/../tests/test_lib.sh"
own_system_ssh_config "$0" "$@"
cd "$(dirname "$0")/.."
build=${1:-build-bench}
jobs=${JOBS:-32}
sweep=${SWEEP:-8 16 32 64 128}
sim_sizes=${SIM_SIZES:-50 200 1000}
sshd_sizes=${SSHD_SIZES:-50 200}
slow_ms=${SLOW_MS:-50}

scripts/install-deps.sh build test
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target swKicker swKicker-router-sim >/dev/null
swkicker=$(realpath "${SWKICKER:-$build/swKicker}")
sim=$(realpath "$build/swKicker-router-sim")
measure=$(realpath bench/fleet_measure.py)

work=$(mktemp -d)
chmod 755 "$work"
sim_pids=()
sshd_pids=()
bench_user=
cleanup() {
  local pid
  for pid in "${sim_pids[@]}" "${sshd_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$bench_user" ] && userdel "$bench_user" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
die() {
  echo "FAILED: $*" >&2
  exit 1
}

# The clients' side: a private HOME with the key and the configuration both
# read (ssh reads it through -F, since it takes ~ from the passwd entry).
export HOME="$work/home"
unset SSH_AUTH_SOCK
mkdir -m 700 -p "$HOME/.ssh"
ssh-keygen -q -t ed25519 -N '' -f "$HOME/.ssh/id_ed25519"
cat >"$HOME/.ssh/config" <<CONF
Host *
  StrictHostKeyChecking yes
  UserKnownHostsFile $HOME/.ssh/known_hosts
  IdentityFile $HOME/.ssh/id_ed25519
  IdentitiesOnly yes
  LogLevel ERROR
CONF
: >"$HOME/.ssh/known_hosts"

# free_ports N: N loopback ports that nothing listened on a moment ago.
free_ports() {
  python3 - "$1" <<'PY'
import socket, sys
held = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
print("\n".join(str(s.getsockname()[1]) for s in held))
PY
}

# known PUBKEY_FILE PORT...: known_hosts lines for the routers on PORT...
known() {
  local key=$1 port
  shift
  local text
  text=$(cut -d' ' -f1,2 "$key")
  for port in "$@"; do echo "[127.0.0.1]:$port $text"; done >>"$HOME/.ssh/known_hosts"
}

# ports_sim NAME N ARGS...: a simulator playing N routers, logging to
# $work/NAME.log, with ARGS; its ports in $work/NAME.ports and known.
ports_sim() {
  local name=$1 n=$2
  shift 2
  "$sim" --user bench --password unused --host-key "$work/sim_key" \
    --authorized-key "$HOME/.ssh/id_ed25519.pub" --log "$work/$name.log" --lifetime 7200 \
    --ports "$n" "$@" >"$work/$name.ports" 2>"$work/$name.err" &
  sim_pids+=($!)
  for _ in $(seq 300); do [ "$(wc -l <"$work/$name.ports")" -ge "$n" ] && break; sleep 0.1; done
  [ "$(wc -l <"$work/$name.ports")" = "$n" ] || die "the simulator did not start: $(cat "$work/$name.err")"
  mapfile -t <"$work/$name.ports" ports
  known "$work/sim_key.pub" "${ports[@]}"
}

# --- The simulator: one port per router, all of them at once ---
max_sim=0
for n in $sim_sizes; do [ "$n" -gt "$max_sim" ] && max_sim=$n; done
"$sim" --host-key "$work/sim_key" --print-public-key >"$work/sim_key.pub"
ports_sim sim "$max_sim"
sim_ports=("${ports[@]}")

# --- OpenSSH's sshd, as root: 16 ports per sshd process ---
sshd_ports=()
if [ "$(id -u)" = 0 ]; then
  max_sshd=0
  for n in $sshd_sizes; do [ "$n" -gt "$max_sshd" ] && max_sshd=$n; done
  bench_user="swkfleet$$"
  sshd_dir="$work/sshd"
  mkdir -p "$sshd_dir/out" /run/sshd
  useradd -M -s /bin/sh -d "$sshd_dir" "$bench_user"
  printf '%s:%s\n' "$bench_user" "fleet-$$" | chpasswd
  chown "$bench_user" "$sshd_dir/out"
  cp "$HOME/.ssh/id_ed25519.pub" "$sshd_dir/authorized_keys"
  ssh-keygen -q -t ed25519 -N '' -f "$sshd_dir/host_key"
  # The question without a line feed; the answer recorded under the port
  # the session came in on.
  cat >"$sshd_dir/ask.sh" <<ASK
#!/bin/sh
printf 'Reboot now? [y/N]: '
read -r answer
printf '%s\n' "\$answer" >>$sshd_dir/out/\${SSH_CONNECTION##* }
printf 'rebooting\n'
ASK
  chmod 755 "$sshd_dir/ask.sh"
  mapfile -t sshd_ports < <(free_ports "$max_sshd")
  for ((first = 0; first < max_sshd; first += 16)); do
    conf="$sshd_dir/sshd_config.$first"
    {
      for port in "${sshd_ports[@]:first:16}"; do echo "ListenAddress 127.0.0.1:$port"; done
      cat <<CONF
HostKey $sshd_dir/host_key
PidFile $sshd_dir/sshd.$first.pid
AuthorizedKeysFile $sshd_dir/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication yes
KbdInteractiveAuthentication no
UsePAM no
PermitRootLogin no
StrictModes no
UseDNS no
AllowUsers $bench_user
ForceCommand $sshd_dir/ask.sh
MaxStartups 1000
MaxSessions 1000
LoginGraceTime 120
LogLevel ERROR
CONF
    } >"$conf"
    /usr/sbin/sshd -f "$conf" -E "$sshd_dir/sshd.$first.err" ||
      die "sshd did not start: $(cat "$sshd_dir/sshd.$first.err")"
    for _ in $(seq 50); do [ -s "$sshd_dir/sshd.$first.pid" ] && break; sleep 0.1; done
    sshd_pids+=("$(cat "$sshd_dir/sshd.$first.pid")")
  done
  known "$sshd_dir/host_key.pub" "${sshd_ports[@]}"
fi

echo y >"$work/answer"

# lists USER PORT...: the fleet's list ($work/list, private, no password:
# the key logs in) and parallel-ssh's hosts file ($work/hosts).
lists() {
  local user=$1 port
  shift
  for port in "$@"; do echo "/user:$user /pw: /port:$port /ip:127.0.0.1"; done >"$work/list"
  chmod 600 "$work/list"
  for port in "$@"; do echo "127.0.0.1:$port"; done >"$work/hosts"
}

# reset KIND: clears the servers' records before a run.
reset() {
  case $1 in
    sim | slow) : >"$work/$1.log" ;;
    sshd) find "$sshd_dir/out" -type f -delete ;;
  esac
}

# verify KIND WHAT PORT...: every router on PORT... was asked and took "y",
# once; stops the script otherwise.
verify() {
  local kind=$1 what=$2
  shift 2
  case $kind in
    sim | slow)
      python3 - "$work/$kind.log" "$@" <<'PY' || die "$what: not every router took the answer"
import json, sys
records = [json.loads(l) for l in open(sys.argv[1])]
want = sorted(sys.argv[2:])
got = sorted(str(r["port"]) for r in records if r["question_sent"] and r["answer"] == "y")
if got != want:
    sys.exit("%d of %d routers took \"y\" (%d sessions logged)" % (len(got), len(want), len(records)))
PY
      ;;
    sshd)
      local port bad=0
      for port in "$@"; do
        [ "$(cat "$sshd_dir/out/$port" 2>/dev/null)" = y ] || bad=$((bad + 1))
      done
      [ "$bad" = 0 ] || die "$what: $bad of $# routers did not take \"y\" once"
      ;;
  esac
}

# run_fleet NAME JOBS: swKicker on $work/list; its figures in $work/NAME.json.
run_fleet() {
  python3 "$measure" /dev/null "$work/$1.out" -- \
    "$swkicker" "/list:$work/list" /v:n "/jobs:$2" >"$work/$1.json"
  [ "$(json "$1" status)" = 0 ] || die "$1: swKicker ended with $(json "$1" status): $(head -c 2000 "$work/$1.out")"
  [ -s "$work/$1.out" ] && die "$1: swKicker printed in quiet mode: $(head -c 2000 "$work/$1.out")"
  return 0
}

# run_pssh NAME JOBS: parallel-ssh over $work/hosts; figures in $work/NAME.json.
run_pssh() {
  python3 "$measure" "$work/answer" "$work/$1.out" -- \
    parallel-ssh -I -p "$2" -t 300 -h "$work/hosts" -l "$3" -x "-F $HOME/.ssh/config" \
    "/system reboot" >"$work/$1.json"
  [ "$(json "$1" status)" = 0 ] || die "$1: parallel-ssh ended with $(json "$1" status): $(grep -v SUCCESS "$work/$1.out" | head -c 2000)"
}

# json NAME FIELD [FORMAT]: a figure of a run.
json() {
  python3 -c 'import json, sys; v = json.load(open(sys.argv[1]))
for k in sys.argv[2].split("."): v = v.get(k, 0)
print(format(v, sys.argv[3]) if len(sys.argv) > 3 else v)' "$work/$1.json" "$2" "${3:-}"
}
mib() { python3 -c "print(f'{$1 / 1024:.1f}')"; }

row_format='  %-12s %8s %9s %12s  %s\n'
# side_by_side KIND USER PORT...: both clients on these routers, verified,
# and their figures.
side_by_side() {
  local kind=$1 user=$2
  shift 2
  local n=$#
  lists "$user" "$@"
  reset "$kind"
  run_fleet "fleet-$kind-$n" "$jobs"
  verify "$kind" "swKicker, $n $kind routers" "$@"
  reset "$kind"
  run_pssh "pssh-$kind-$n" "$jobs" "$user"
  verify "$kind" "parallel-ssh, $n $kind routers" "$@"
  local f="fleet-$kind-$n" p="pssh-$kind-$n"
  echo "$n routers ($kind), $jobs at once:"
  printf "$row_format" "" "wall s" "CPU s" "CPU ms/rtr" "peak RSS MiB"
  printf "$row_format" swKicker "$(json $f wall .2f)" "$(json $f cpu .2f)" \
    "$(python3 -c "print(f'{$(json $f cpu) * 1000 / $n:.1f}')")" \
    "$(mib "$(json $f max_rss_kib)") (process); tree at once $(mib "$(json $f tree_kib)")"
  printf "$row_format" parallel-ssh "$(json $p wall .2f)" "$(json $p cpu .2f)" \
    "$(python3 -c "print(f'{$(json $p cpu) * 1000 / $n:.1f}')")" \
    "$(mib "$(json $p by_name.parallel-ssh)") (parallel-ssh), $(mib "$(json $p by_name.ssh)") (largest ssh); tree at once $(mib "$(json $p tree_kib)")"
  python3 -c "
f_wall, p_wall, f_cpu, p_cpu = $(json $f wall), $(json $p wall), $(json $f cpu), $(json $p cpu)
print(f'  ratio swKicker/parallel-ssh: wall {f_wall / p_wall:.2f}, CPU per router {f_cpu / p_cpu:.2f}')"
  echo
}

echo "== swKicker's fleet beside parallel-ssh $(dpkg-query -W -f='${Version}' pssh) =="
echo "   (both: key authentication, strict host keys from one known_hosts; all on this machine's $(nproc) cores)"
echo
for n in $sim_sizes; do
  side_by_side sim bench "${sim_ports[@]:0:n}"
done
if [ "${#sshd_ports[@]}" -gt 0 ]; then
  for n in $sshd_sizes; do
    side_by_side sshd "$bench_user" "${sshd_ports[@]:0:n}"
  done
else
  echo "(sshd: skipped, it needs root)"
  echo
fi

# sweep KIND PORT...: swKicker alone on these routers at each /jobs: of $sweep.
sweep() {
  local kind=$1 j
  shift
  printf '  %-8s %8s %9s %12s %14s\n' "/jobs:" "wall s" "CPU s" "CPU ms/rtr" "max RSS MiB"
  lists bench "$@"
  for j in $sweep; do
    reset "$kind"
    run_fleet "sweep-$kind-$j" "$j"
    verify "$kind" "swKicker, /jobs:$j" "$@"
    printf '  %-8s %8s %9s %12s %14s\n' "$j" "$(json "sweep-$kind-$j" wall .2f)" \
      "$(json "sweep-$kind-$j" cpu .2f)" \
      "$(python3 -c "print(f'{$(json "sweep-$kind-$j" cpu) * 1000 / $#:.1f}')")" \
      "$(mib "$(json "sweep-$kind-$j" max_rss_kib)")"
  done
  echo
}

echo "== swKicker on $max_sim simulator routers by /jobs: =="
sweep sim "${sim_ports[@]}"

# On loopback the simulator's own work on the same two cores sets the pace.
# A router far away or slow to answer is waited for instead: the simulator
# that waits $slow_ms ms before each step of the conversation shows what
# the jobs gain there.
if [ "$slow_ms" -gt 0 ]; then
  ports_sim slow "$max_sim" --mode stall --stall-ms "$slow_ms"
  echo "== swKicker on $max_sim simulator routers waiting $slow_ms ms before each step, by /jobs: =="
  sweep slow "${ports[@]}"
fi
