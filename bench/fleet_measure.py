#!/usr/bin/env python3
"""Runs one command and measures it with everything it starts, for
bench/fleet.sh. Prints one JSON object:
  wall        seconds from the start to the command's own end
  cpu         user + system seconds of the command and every process under
              it (this process is their subreaper, so orphans are reaped here
              and counted too)
  own_peak_kib the command's own peak RSS, from /usr/bin/time, which starts it:
              a process forked from this Python would carry Python's own
              high-water mark into the figure (getrusage keeps the largest
              RSS a process had, before its exec too)
  by_name     for each process name under the command: the largest peak RSS
              (VmHWM, which starts afresh at exec) sampled every 50 ms
  tree_kib    the largest RSS of the whole tree at one moment (sampled, so a
              short peak can be missed); shared libraries count once per
              process in it
  tree_pss_kib the largest proportional set size (PSS) of the tree at one
              moment: pages shared by several processes are split among them
  server_cpu  with --servers PID,...: user + system seconds those processes
              and the children they reaped spent during the run
  status      the command's exit status
usage: fleet_measure.py [--servers PID,...] STDIN_FILE STDOUT_FILE -- COMMAND ARGS...
"""
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

PR_SET_CHILD_SUBREAPER = 36
TICKS = os.sysconf("SC_CLK_TCK")


def descendants(root):
    """Pids under root (root first), from one pass over /proc."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        # The name in brackets may hold spaces: the fields after it count.
        ppid = int(stat[stat.rindex(b")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(name))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def status_fields(pid):
    """(name, VmRSS KiB, VmHWM KiB) of a live process, or None."""
    try:
        with open("/proc/%d/status" % pid) as f:
            text = f.read()
    except OSError:
        return None
    name, rss, hwm = "?", 0, 0
    for line in text.splitlines():
        if line.startswith("Name:"):
            name = line.split(None, 1)[1] if len(line.split()) > 1 else "?"
        elif line.startswith("VmRSS:"):
            rss = int(line.split()[1])
        elif line.startswith("VmHWM:"):
            hwm = int(line.split()[1])
    return name, rss, hwm


def pss_kib(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def cpu_seconds(pids):
    """utime + stime + cutime + cstime of live processes, in seconds."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(b")") + 2:].split()
        total += sum(int(fields[i]) for i in (11, 12, 13, 14))
    return total / TICKS


def main():
    args = sys.argv[1:]
    servers = []
    if args and args[0] == "--servers":
        servers = [int(p) for p in args[1].split(",") if p]
        args = args[2:]
    split = args.index("--")
    stdin_path, stdout_path = args[:split]
    command = args[split + 1:]
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("fleet_measure: cannot become a subreaper")

    peak = {"tree": 0, "pss": 0}
    by_name = {}
    done = threading.Event()
    me = os.getpid()

    def sample():
        while not done.is_set():
            total = pss = 0
            for pid in descendants(me)[1:]:
                fields = status_fields(pid)
                if fields is None:
                    continue
                name, rss, hwm = fields
                if name == "time":
                    continue
                total += rss
                pss += pss_kib(pid)
                by_name[name] = max(by_name.get(name, 0), hwm)
            peak["tree"] = max(peak["tree"], total)
            peak["pss"] = max(peak["pss"], pss)
            done.wait(0.05)

    with tempfile.NamedTemporaryFile(prefix="fleet-peak-") as own_peak, \
            open(stdin_path, "rb") as given, open(stdout_path, "wb") as out:
        server_before = cpu_seconds(servers)
        started = time.monotonic()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", own_peak.name] + command,
                                 stdin=given, stdout=out, stderr=subprocess.STDOUT)
        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        status = child.wait()
        wall = time.monotonic() - started
        # Whatever the command left behind has been handed to this process:
        # reap it all, so its time counts.
        while True:
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                break
        # A server reaps its finished sessions a moment after the client
        # has gone; their time reaches its counters then.
        if servers:
            time.sleep(0.3)
        server_cpu = cpu_seconds(servers) - server_before
        done.set()
        sampler.join()
        lines = [l for l in open(own_peak.name).read().splitlines() if l.strip()]
        # "Command exited with non-zero status N" comes first then.
        own = int(lines[-1]) if lines and lines[-1].isdigit() else 0
    usage = os.times()
    print(json.dumps({"wall": wall, "cpu": usage.children_user + usage.children_system,
                      "own_peak_kib": own, "tree_kib": peak["tree"],
                      "tree_pss_kib": peak["pss"], "by_name": by_name,
                      "server_cpu": server_cpu, "status": status}))


if __name__ == "__main__":
    main()
