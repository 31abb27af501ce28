#!/usr/bin/env python3
"""The whole reboot conversation against the router simulator on loopback.

swKicker in quiet mode and the OpenSSH client (password through sshpass,
answer on standard input) run alternately against one simulator; prints the
median wall time and peak resident memory of each, and the question-to-answer
latency the simulator logged for swKicker, for a question ending in a line
feed and for one without (answered by the idle rule).

Every run is checked: exit status 0, nothing printed by swKicker, and the
simulator's record of the connection shows the answer "y" and a clean close.
A run that fails ends the script with status 1; figures never do.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

USER = "admin"
PASSWORD = "secret"
QUESTION = "Reboot now? [y/N]: "


def start_simulator(sim, folder, name, newline):
    log = os.path.join(folder, name + ".json")
    args = [sim, "--user", USER, "--password", PASSWORD, "--log", log,
            "--host-key", os.path.join(folder, "host_key"),
            "--question", QUESTION, "--lifetime", "900"]
    if newline:
        args.append("--question-newline")
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    port = int(process.stdout.readline())
    return process, port, log


def read_records(log):
    if not os.path.exists(log):
        return []
    with open(log) as f:
        return [json.loads(line) for line in f if line.strip()]


def wait_for_records(log, count, limit_s=10.0):
    """The simulator writes a connection's record just after the client has
    gone; wait for it so the next run starts on an idle simulator."""
    end = time.monotonic() + limit_s
    while True:
        records = read_records(log)
        if len(records) >= count or time.monotonic() > end:
            return records
        time.sleep(0.001)


def peak_kb(path):
    with open(path) as f:
        lines = [line for line in f.read().splitlines() if line.strip()]
    return int(lines[-1])


def run_client(args, stdin_bytes, env, rss_path):
    started = time.perf_counter()
    done = subprocess.run(args, input=stdin_bytes, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env, start_new_session=True,
                          timeout=60)
    wall_ms = (time.perf_counter() - started) * 1000.0
    return done, wall_ms, peak_kb(rss_path)


def swkicker_args(build, port, rss_path):
    # No terminal (new session, standard input from /dev/null), quiet mode.
    return ["/usr/bin/time", "-f", "%M", "-o", rss_path,
            os.path.join(build, "swKicker"), "/user:" + USER, "/pw:" + PASSWORD,
            "/port:%d" % port, "/v:n", "/ip:127.0.0.1"]


def ssh_args(port, rss_path):
    # The same conditions as swKicker: no config file, no known_hosts read or
    # written, the remote command, the password given once.
    return ["sshpass", "-p", PASSWORD,
            "/usr/bin/time", "-f", "%M", "-o", rss_path,
            "ssh", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
            "-p", str(port), USER + "@127.0.0.1", "/system reboot"]


def check(condition, what):
    if not condition:
        print("FAILED: " + what, file=sys.stderr)
        sys.exit(1)


def check_record(record, who):
    check(record.get("answer") == "y", "%s: the simulator got answer %r" % (who, record.get("answer")))
    # ssh may close before its standard input's end reaches the channel; only
    # swKicker promises EOF, close and disconnect every time.
    if who == "swKicker":
        check(record.get("clean_close"), "%s: the session did not close cleanly: %s" % (who, record))


def one_run(kind, build, port, env, folder, log, expected_records):
    rss = os.path.join(folder, kind + ".rss")
    if kind == "swKicker":
        done, wall, kb = run_client(swkicker_args(build, port, rss), b"", env, rss)
        check(done.returncode == 0, "swKicker exited with %d: %r" % (done.returncode, done.stderr))
        check(done.stdout == b"" and done.stderr == b"",
              "swKicker printed in quiet mode: %r %r" % (done.stdout, done.stderr))
    else:
        done, wall, kb = run_client(ssh_args(port, rss), b"y\n", env, rss)
        check(done.returncode == 0, "ssh exited with %d: %r" % (done.returncode, done.stderr))
        check(b"rebooting" in done.stdout, "ssh did not see the reply: %r" % done.stdout)
    records = wait_for_records(log, expected_records)
    check(len(records) >= expected_records, "%s: the simulator logged no record" % kind)
    check_record(records[expected_records - 1], kind)
    return wall, kb, records[expected_records - 1]


def latency_ms(record):
    return record["answer_ms"] - record["question_sent_ms"]


def median(values):
    return statistics.median(values)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="build folder")
    parser.add_argument("--runs", type=int, default=20)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    sim = os.path.join(build, "swKicker-router-sim")

    with tempfile.TemporaryDirectory(prefix="swk-bench-") as folder:
        home = os.path.join(folder, "home")
        os.makedirs(os.path.join(home, ".ssh"), mode=0o700)
        env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "LANG": "C.UTF-8"}

        # 1. Whole conversation, question ending in a line feed.
        process, port, log = start_simulator(sim, folder, "newline", True)
        try:
            walls = {"swKicker": [], "ssh": []}
            peaks = {"swKicker": [], "ssh": []}
            line_fed = []
            made = 0
            # One unmeasured run of each first: page cache, host key.
            for kind in ("swKicker", "ssh"):
                made += 1
                one_run(kind, build, port, env, folder, log, made)
            for _ in range(options.runs):
                for kind in ("swKicker", "ssh"):
                    made += 1
                    wall, kb, record = one_run(kind, build, port, env, folder, log, made)
                    walls[kind].append(wall)
                    peaks[kind].append(kb)
                    if kind == "swKicker":
                        line_fed.append(latency_ms(record))
        finally:
            process.terminate()
            process.wait()

        # 2. A question without a line feed: the idle rule answers it.
        process, port, log = start_simulator(sim, folder, "idle", False)
        try:
            idle = []
            made = 0
            for _ in range(options.runs):
                made += 1
                _, _, record = one_run("swKicker", build, port, env, folder, log, made)
                idle.append(latency_ms(record))
        finally:
            process.terminate()
            process.wait()

    wall_s, wall_o = median(walls["swKicker"]), median(walls["ssh"])
    peak_s, peak_o = median(peaks["swKicker"]), median(peaks["ssh"])
    print("Whole conversation, %d alternating runs each (medians)" % options.runs)
    print("  %-22s %12s %12s %8s  %s" % ("", "swKicker", "ssh", "ratio", "target"))
    print("  %-22s %12.1f %12.1f %8.2f  %s" % (
        "wall time, ms", wall_s, wall_o, wall_s / wall_o,
        verdict(wall_s <= 0.8 * wall_o, "<= 0.80")))
    print("  %-22s %12d %12d %8.2f  %s" % (
        "peak resident, KiB", peak_s, peak_o, peak_s / peak_o,
        verdict(peak_s < peak_o, "< 1.00")))
    print("  wall time range, ms: swKicker %.1f-%.1f, ssh %.1f-%.1f" % (
        min(walls["swKicker"]), max(walls["swKicker"]), min(walls["ssh"]), max(walls["ssh"])))
    print()
    print("Question-to-answer latency of swKicker, simulator clock (1 ms steps), %d runs"
          % options.runs)
    print("  %-28s %8s %8s %8s  %s" % ("", "median", "min", "max", "target"))
    print("  %-28s %8.1f %8d %8d  %s" % (
        "line-fed question, ms", median(line_fed), min(line_fed), max(line_fed),
        verdict(median(line_fed) < 10, "< 10")))
    print("  %-28s %8.1f %8d %8d  %s" % (
        "no line feed (idle rule), ms", median(idle), min(idle), max(idle),
        verdict(median(idle) < 300, "< 300")))


def verdict(met, target):
    return target + (" met" if met else " MISSED")


if __name__ == "__main__":
    main()
