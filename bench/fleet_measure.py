#!/usr/bin/env python3
"""Runs one command and measures it with everything it starts, for
bench/fleet.sh. Prints one JSON object:
  wall        seconds from the start to the command's own end
  cpu         user + system seconds of the command and every process under
              it (this process is their subreaper, so orphans are reaped here
              and counted too)
  max_rss_kib the largest peak RSS of any one of those processes (getrusage)
  tree_kib    the largest RSS of the whole tree at one moment (sampled every
              100 ms from /proc, so a short peak can be missed)
  by_name     for each process name: the largest peak RSS (VmHWM) sampled
  status      the command's exit status
usage: fleet_measure.py STDIN_FILE STDOUT_FILE -- COMMAND ARGS...
"""
import ctypes
import json
import os
import resource
import subprocess
import sys
import threading
import time

PR_SET_CHILD_SUBREAPER = 36


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


def main():
    split = sys.argv.index("--")
    stdin_path, stdout_path = sys.argv[1:split]
    command = sys.argv[split + 1:]
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("fleet_measure: cannot become a subreaper")

    peak = {"tree": 0}
    by_name = {}
    done = threading.Event()

    def sample(root):
        while not done.is_set():
            total = 0
            for pid in descendants(root)[1:]:
                fields = status_fields(pid)
                if fields is None:
                    continue
                name, rss, hwm = fields
                total += rss
                by_name[name] = max(by_name.get(name, 0), hwm)
            peak["tree"] = max(peak["tree"], total)
            done.wait(0.1)

    with open(stdin_path, "rb") as given, open(stdout_path, "wb") as out:
        started = time.monotonic()
        child = subprocess.Popen(command, stdin=given, stdout=out, stderr=subprocess.STDOUT)
        sampler = threading.Thread(target=sample, args=(os.getpid(),), daemon=True)
        sampler.start()
        status = child.wait()
        wall = time.monotonic() - started
    # Whatever the command left behind has been handed to this process: reap
    # it all, so its time counts.
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            break
    done.set()
    sampler.join()
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(json.dumps({"wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
                      "max_rss_kib": usage.ru_maxrss, "tree_kib": peak["tree"],
                      "by_name": by_name, "status": status}))


if __name__ == "__main__":
    main()
