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
# read the same SSH configuration file, which checks host keys strictly
# against one known_hosts file that lists every router beforehand, so
# neither writes anything. Each cell is the median of REPEAT runs, the two
# clients taking turns at going first. Each client keeps its own
# algorithms, and the key exchange each one used against sshd is printed
# (read from a probe sshd's log): ssh negotiates sntrup761x25519 there
# (more work per connection) where swKicker's libssh offers curve25519, so
# a like-for-like row gives parallel-ssh -O KexAlgorithms=curve25519-sha256.
# A password-login row follows on sshd (sshpass with parallel-ssh -A, as
# admins run it; swKicker with /pw:), neither client holding a key, with the
# same key exchange. The
# servers run on the same cores as the clients, so wall times include the
# servers' work: each table also gives the server-bound floor, the servers'
# CPU for the run divided by the cores, which no client can beat.
#
# Per run: wall time; CPU seconds (user + system) of the client and every
# process it starts (bench/fleet_measure.py reaps them all); peak memory per
# process: swKicker's own peak RSS, parallel-ssh's and its largest ssh
# child's; and the whole client tree's at one moment, as RSS (shared
# libraries once per process) and as PSS (shared pages split among them).
# Then swKicker alone at several /jobs: values, to choose the default by
# measurement: on the 1000 simulator routers as they are, whose own work on
# the same cores sets the pace; on simulators that wait 50 ms before each
# step of the conversation, as a distant or slow router keeps a client
# waiting; and, as root, on the sshd routers.
#
# usage: bench/fleet.sh [BUILD_FOLDER] (default build-bench)
#   JOBS=32        concurrency of the side-by-side runs
#   REPEAT=3       runs per cell (the median is shown)
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
repeat=${REPEAT:-3}
cores=$(nproc)
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
# use_config key|password: with the key, or with no key at all (the
# identity file named does not exist and no agent is asked), for both.
use_config() {
  local identity=$HOME/.ssh/id_ed25519
  [ "$1" = password ] && identity=$HOME/.ssh/no_key
  cat >"$HOME/.ssh/config" <<CONF
Host *
  StrictHostKeyChecking yes
  UserKnownHostsFile $HOME/.ssh/known_hosts
  IdentityFile $identity
  IdentitiesOnly yes
  LogLevel ERROR
CONF
}
use_config key
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
  bench_password="fleet-$$"
  printf '%s:%s\n' "$bench_user" "$bench_password" | chpasswd
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
  # One more sshd on a port of its own, logging each key exchange's
  # algorithm: which one each client used.
  probe_port=$(free_ports 1)
  sed -e '/^ListenAddress/d' -e 's/^LogLevel .*/LogLevel DEBUG1/' \
    -e "s|^PidFile .*|PidFile $sshd_dir/sshd.probe.pid|" "$sshd_dir/sshd_config.0" \
    >"$sshd_dir/sshd_config.probe"
  echo "ListenAddress 127.0.0.1:$probe_port" >>"$sshd_dir/sshd_config.probe"
  /usr/sbin/sshd -f "$sshd_dir/sshd_config.probe" -E "$sshd_dir/probe.log" ||
    die "sshd did not start: $(cat "$sshd_dir/probe.log")"
  for _ in $(seq 50); do [ -s "$sshd_dir/sshd.probe.pid" ] && break; sleep 0.1; done
  probe_pid=$(cat "$sshd_dir/sshd.probe.pid")
  sim_pids+=("$probe_pid")
  known "$sshd_dir/host_key.pub" "$probe_port"
fi

echo y >"$work/answer"

# lists USER PASSWORD PORT...: the fleet's list ($work/list, private; an
# empty password where the key logs in) and parallel-ssh's hosts file
# ($work/hosts).
lists() {
  local user=$1 password=$2 port
  shift 2
  for port in "$@"; do echo "/user:$user /pw:$password /port:$port /ip:127.0.0.1"; done >"$work/list"
  chmod 600 "$work/list"
  for port in "$@"; do echo "$user@127.0.0.1:$port"; done >"$work/hosts"
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

# servers_of KIND: the pids whose CPU is the servers' for KIND's routers.
servers_of() {
  case $1 in
    sim) echo "${sim_pids[0]}" ;;
    slow) echo "$slow_pid" ;;
    sshd) local IFS=,; echo "${sshd_pids[*]}" ;;
  esac
}

# run_fleet NAME KIND JOBS: swKicker on $work/list; its figures in
# $work/NAME.json.
run_fleet() {
  python3 "$measure" --servers "$(servers_of "$2")" /dev/null "$work/$1.out" -- \
    "$swkicker" "/list:$work/list" /v:n "/jobs:$3" >"$work/$1.json"
  [ "$(json "$1" status)" = 0 ] || die "$1: swKicker ended with $(json "$1" status): $(head -c 2000 "$work/$1.out")"
  [ -s "$work/$1.out" ] && die "$1: swKicker printed in quiet mode: $(head -c 2000 "$work/$1.out")"
  return 0
}

# run_pssh NAME KIND JOBS MODE [OPTION...]: parallel-ssh over $work/hosts
# (with MODE password, through sshpass and -A); figures in $work/NAME.json.
run_pssh() {
  local name=$1 kind=$2 n=$3 mode=$4
  shift 4
  local extra=() option
  for option in "$@"; do extra+=(-O "$option"); done
  local command=(parallel-ssh -I -p "$n" -t 300 -h "$work/hosts" -x "-F $HOME/.ssh/config"
                 "${extra[@]}")
  [ "$mode" = password ] && command=(sshpass -p "$bench_password" "${command[@]}" -A)
  python3 "$measure" --servers "$(servers_of "$kind")" "$work/answer" "$work/$name.out" -- \
    "${command[@]}" "/system reboot" >"$work/$name.json"
  [ "$(json "$name" status)" = 0 ] || die "$name: parallel-ssh ended with $(json "$name" status): $(grep -v SUCCESS "$work/$name.out" | head -c 2000)"
}

# json NAME FIELD [FORMAT]: a figure of a run; NAME* for the median of the
# runs $work/NAME.1.json, NAME.2.json and so on.
json() {
  python3 -c 'import glob, json, statistics, sys
name, field = sys.argv[1], sys.argv[2]
paths = sorted(glob.glob(sys.argv[4] + "/" + name[:-1] + ".[0-9]*.json")) if name.endswith("*") \
    else [sys.argv[4] + "/" + name + ".json"]
def one(path):
    v = json.load(open(path))
    for k in field.split("."): v = v.get(k, 0)
    return v
v = statistics.median(one(p) for p in paths)
print(format(v, sys.argv[3]) if sys.argv[3] else v)' "$1" "$2" "${3:-}" "$work"
}
mib() { python3 -c "print(f'{$1 / 1024:.1f}')"; }
calc() { python3 -c "print(f'{$1:$2}')"; }

# kex_of CLIENT_NAME: the key exchange the last session with the probe sshd
# used.
kex_of() {
  local line
  line=$(grep -o 'kex: algorithm: [^ ]*' "$sshd_dir/probe.log" | tail -n 1)
  echo "${line#kex: algorithm: }"
}
# kex_used MODE [OPTION...]: "swKicker X, parallel-ssh Y" against the probe
# sshd, with the same options as the runs.
kex_used() {
  local mode=$1 mine theirs
  shift
  lists "$bench_user" "$([ "$mode" = password ] && echo "$bench_password")" "$probe_port"
  run_fleet kex-fleet sshd 1
  mine=$(kex_of)
  run_pssh kex-pssh sshd 1 "$mode" "$@"
  theirs=$(kex_of)
  echo "swKicker $mine, parallel-ssh $theirs"
}

row_format='  %-32s %8s %9s %11s  %s\n'
# row LABEL NAME ROUTERS MEMORY: one client's medians.
row() {
  printf "$row_format" "$1" "$(json "$2*" wall .2f)" "$(json "$2*" cpu .2f)" \
    "$(calc "$(json "$2*" cpu) * 1000 / $3" .1f)" "$4"
}
fleet_memory() {
  echo "$(mib "$(json "$1*" own_peak_kib)") (process)"
}
pssh_memory() {
  echo "$(mib "$(json "$1*" by_name.parallel-ssh)") (parallel-ssh), $(mib "$(json "$1*" by_name.ssh)") (largest ssh); tree at once RSS $(mib "$(json "$1*" tree_kib)"), PSS $(mib "$(json "$1*" tree_pss_kib)")"
}

# side_by_side KIND USER PASSWORD MODE PORT...: both clients on these
# routers, REPEAT times taking turns at going first, verified; the medians,
# the ratios, and the server-bound floor. With MODE like, parallel-ssh is
# asked for curve25519-sha256 as swKicker's libssh uses; with MODE password
# too, and both log in with the password.
side_by_side() {
  local kind=$1 user=$2 password=$3 mode=$4
  shift 4
  local n=$# r options=()
  [ "$mode" != key ] && options=(KexAlgorithms=curve25519-sha256)
  local f="fleet-$kind-$n-$mode" p="pssh-$kind-$n-$mode"
  lists "$user" "$password" "$@"
  for ((r = 1; r <= repeat; r++)); do
    local order=(fleet pssh)
    ((r % 2 == 0)) && order=(pssh fleet)
    local client
    for client in "${order[@]}"; do
      reset "$kind"
      if [ "$client" = fleet ]; then
        run_fleet "$f.$r" "$kind" "$jobs"
        verify "$kind" "swKicker, $n $kind routers" "$@"
      else
        run_pssh "$p.$r" "$kind" "$jobs" "$mode" "${options[@]}"
        verify "$kind" "parallel-ssh, $n $kind routers" "$@"
      fi
    done
  done
  local what="key login"
  [ "$mode" = like ] && what="key login, parallel-ssh -O KexAlgorithms=curve25519-sha256"
  [ "$mode" = password ] && what="password login (swKicker /pw:, sshpass + parallel-ssh -A), parallel-ssh -O KexAlgorithms=curve25519-sha256"
  echo "$n routers ($kind), $jobs at once, $what; medians of $repeat runs:"
  [ "$kind" = sshd ] && echo "  key exchange: $(kex_used "$mode" "${options[@]}")" && lists "$user" "$password" "$@"
  printf "$row_format" "" "wall s" "CPU s" "CPU ms/rtr" "peak memory, MiB"
  row swKicker "$f" "$n" "$(fleet_memory "$f")"
  row parallel-ssh "$p" "$n" "$(pssh_memory "$p")"
  local server floor
  server=$(json "$f*" server_cpu)
  floor=$(calc "$server / $cores" .2f)
  python3 -c "
f_wall, p_wall, f_cpu, p_cpu = $(json "$f*" wall), $(json "$p*" wall), $(json "$f*" cpu), $(json "$p*" cpu)
print(f'  ratio swKicker/parallel-ssh: wall {f_wall / p_wall:.2f}, client CPU {f_cpu / p_cpu:.3f}')
print(f'  server-bound floor: {$floor:.2f} s (the servers\' CPU, {$server * 1000 / $n:.1f} ms per router'
      f' x $n routers / $cores cores); swKicker\'s wall {f_wall / $floor if $floor > 0 else 0:.2f}x the floor')"
  echo
}

echo "== swKicker's fleet beside parallel-ssh $(dpkg-query -W -f='${Version}' pssh) =="
echo "   (strict host keys from one known_hosts; all on this machine's $cores cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo
for n in $sim_sizes; do
  side_by_side sim bench "" key "${sim_ports[@]:0:n}"
done
if [ "${#sshd_ports[@]}" -gt 0 ]; then
  for n in $sshd_sizes; do
    side_by_side sshd "$bench_user" "" key "${sshd_ports[@]:0:n}"
  done
  side_by_side sshd "$bench_user" "" like "${sshd_ports[@]:0:max_sshd}"
  use_config password
  side_by_side sshd "$bench_user" "$bench_password" password "${sshd_ports[@]:0:max_sshd}"
  use_config key
else
  echo "(sshd: skipped, it needs root)"
  echo
fi

# sweep KIND USER PORT...: swKicker alone on these routers at each /jobs: of
# $sweep, the medians of REPEAT rounds over all the values.
sweep() {
  local kind=$1 user=$2 j r
  shift 2
  printf '  %-8s %8s %9s %12s %14s\n' "/jobs:" "wall s" "CPU s" "CPU ms/rtr" "peak RSS MiB"
  lists "$user" "" "$@"
  for ((r = 1; r <= repeat; r++)); do
    for j in $sweep; do
      reset "$kind"
      run_fleet "sweep-$kind-$j.$r" "$kind" "$j"
      verify "$kind" "swKicker, /jobs:$j" "$@"
    done
  done
  for j in $sweep; do
    printf '  %-8s %8s %9s %12s %14s\n' "$j" "$(json "sweep-$kind-$j*" wall .2f)" \
      "$(json "sweep-$kind-$j*" cpu .2f)" \
      "$(calc "$(json "sweep-$kind-$j*" cpu) * 1000 / $#" .2f)" \
      "$(mib "$(json "sweep-$kind-$j*" own_peak_kib)")"
  done
  echo
}

echo "== swKicker on $max_sim simulator routers by /jobs:, medians of $repeat =="
sweep sim bench "${sim_ports[@]}"

if [ "${#sshd_ports[@]}" -gt 0 ]; then
  echo "== swKicker on $max_sshd sshd routers by /jobs:, medians of $repeat =="
  sweep sshd "$bench_user" "${sshd_ports[@]:0:max_sshd}"
fi

# On loopback the simulator's own work on the same two cores sets the pace.
# A router far away or slow to answer is waited for instead: the simulator
# that waits $slow_ms ms before each step of the conversation shows what
# the jobs gain there.
if [ "$slow_ms" -gt 0 ]; then
  ports_sim slow "$max_sim" --mode stall --stall-ms "$slow_ms"
  slow_pid=${sim_pids[-1]}
  echo "== swKicker on $max_sim simulator routers waiting $slow_ms ms before each step, by /jobs:, medians of $repeat =="
  sweep slow bench "${ports[@]}"
fi
