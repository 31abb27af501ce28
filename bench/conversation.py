#!/usr/bin/env python3
"""The whole reboot conversation on loopback, swKicker against ssh + sshpass.

swKicker in quiet mode and the OpenSSH client (password through sshpass,
answer on standard input) run alternately against the same server:

- the router simulator, which sets TCP_NODELAY and asks with a line feed;
- the simulator with Nagle's algorithm left on (--nagle);
- a router on paramiko (bench/paramiko_router.py), Nagle on, question with a
  line feed;
- as root, OpenSSH's sshd and dropbear, each with a throwaway user and a
  forced command that asks without a line feed, as a router's CLI does.

Prints the median wall time of each client and their ratio per server, the
peak resident memory against the simulator, and swKicker's question-to-answer
latency: from the simulator's log, and from the forced command's own clock
(bash's EPOCHREALTIME, no fork) on the real servers.

With --baseline, another swKicker binary (an older build) runs in the same
alternation against the same servers, and the medians of both and their
ratio are printed beside ssh's.

Every run is checked: exit status 0, nothing printed by swKicker, and the
server's record of the connection shows the answer "y". A run that fails ends
the script with status 1; figures never do.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

USER = "admin"
PASSWORD = "secret"
QUESTION = "Reboot now? [y/N]: "
# Text without a line feed that does not end like a prompt: the idle rule.
PLAIN_QUESTION = "Type y to reboot now"
SSHD = "/usr/sbin/sshd"
DROPBEAR = "/usr/sbin/dropbear"


def start_simulator(sim, folder, name, newline, question=QUESTION, nagle=False):
    log = os.path.join(folder, name + ".json")
    args = [sim, "--user", USER, "--password", PASSWORD, "--log", log,
            "--host-key", os.path.join(folder, "host_key"),
            "--question", question, "--lifetime", "900"]
    if newline:
        args.append("--question-newline")
    if nagle:
        args.append("--nagle")
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    port = int(process.stdout.readline())
    return process, port, log


def read_records(log):
    if not os.path.exists(log):
        return []
    with open(log) as f:
        return [json.loads(line) for line in f if line.strip()]


def wait_for(read, count, limit_s=10.0):
    """A server writes a connection's record just after the client has gone
    (the simulator) or as its command ends (a forced command); wait for it so
    the next run starts on an idle server."""
    end = time.monotonic() + limit_s
    while True:
        records = read()
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


def swkicker_args(swkicker, user, password, port, rss_path):
    # No terminal (new session, standard input from /dev/null), quiet mode.
    return ["/usr/bin/time", "-f", "%M", "-o", rss_path,
            swkicker, "/user:" + user, "/pw:" + password,
            "/port:%d" % port, "/v:n", "/ip:127.0.0.1"]


def ssh_args(user, password, port, rss_path):
    # The same conditions as swKicker: no config file, no known_hosts read or
    # written, the remote command, the password given once.
    return ["sshpass", "-p", password,
            "/usr/bin/time", "-f", "%M", "-o", rss_path,
            "ssh", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
            "-p", str(port), user + "@127.0.0.1", "/system reboot"]


def check(condition, what):
    if not condition:
        print("FAILED: " + what, file=sys.stderr)
        sys.exit(1)


class Server:
    """One server to talk to: where, as whom, and how to read its records.
    latency(record) gives the question-to-answer time in ms."""

    def __init__(self, name, port, user, password, read, latency, strict_close):
        self.name = name
        self.port = port
        self.user = user
        self.password = password
        self.read = read
        self.latency = latency
        # The simulator tells whether the session closed cleanly; ssh may
        # close before its standard input's end reaches the channel, so only
        # swKicker is held to it.
        self.strict_close = strict_close


def one_run(kind, server, swkicker, env, folder):
    """kind is "ssh", or the name of a swKicker binary: swkicker maps those
    names to paths ("swKicker", and "baseline" with --baseline)."""
    rss = os.path.join(folder, kind + ".rss")
    # Records come in the order of the runs, each awaited before the next.
    before = len(server.read())
    if kind != "ssh":
        done, wall, kb = run_client(
            swkicker_args(swkicker[kind], server.user, server.password, server.port, rss),
            b"", env, rss)
        check(done.returncode == 0, "%s, %s exited with %d: %r"
              % (server.name, kind, done.returncode, done.stderr))
        check(done.stdout == b"" and done.stderr == b"",
              "swKicker printed in quiet mode: %r %r" % (done.stdout, done.stderr))
    else:
        done, wall, kb = run_client(ssh_args(server.user, server.password, server.port, rss),
                                    b"y\n", env, rss)
        check(done.returncode == 0, "%s, ssh exited with %d: %r"
              % (server.name, done.returncode, done.stderr))
        check(b"rebooting" in done.stdout, "ssh did not see the reply: %r" % done.stdout)
    records = wait_for(server.read, before + 1)
    check(len(records) > before, "%s: %s left no record" % (server.name, kind))
    record = records[before]
    check(record.get("answer") == "y",
          "%s, %s: the server got answer %r" % (server.name, kind, record.get("answer")))
    check(record.get("command") == "/system reboot",
          "%s, %s: the server ran %r" % (server.name, kind, record.get("command")))
    if kind != "ssh" and server.strict_close:
        check(record.get("clean_close"), "the session did not close cleanly: %s" % record)
    return wall, kb, record


def side_by_side(server, swkicker, env, folder, runs):
    """Alternating runs after one unmeasured run of each (page cache, host
    key), the order turned round every run so no client always goes first.
    Returns wall times and peaks per client, and swKicker's latencies (also
    the baseline's, under "baseline", with --baseline)."""
    kinds = list(swkicker) + ["ssh"]
    walls = {kind: [] for kind in kinds}
    peaks = {kind: [] for kind in kinds}
    latencies = {kind: [] for kind in swkicker}
    for kind in kinds:
        one_run(kind, server, swkicker, env, folder)
    for number in range(runs):
        for kind in (kinds if number % 2 == 0 else kinds[::-1]):
            wall, kb, record = one_run(kind, server, swkicker, env, folder)
            walls[kind].append(wall)
            peaks[kind].append(kb)
            if kind != "ssh":
                latencies[kind].append(server.latency(record))
    return walls, peaks, latencies


def swkicker_latencies(server, swkicker, env, folder, runs, kind="swKicker"):
    return [server.latency(one_run(kind, server, swkicker, env, folder)[2])
            for _ in range(runs)]


def simulator_server(process_port_log, name, strict_close=True):
    _, port, log = process_port_log
    return Server(name, port, USER, PASSWORD, lambda: read_records(log),
                  lambda r: r["answer_ms"] - r["question_sent_ms"], strict_close)


# The forced command of the real servers: asks the question in the file
# "question" without a line feed, reads one line, and appends what it saw
# with its own clock; bash builtins only, so no fork sits between the stamps.
ASK_SCRIPT = r"""#!/bin/bash
IFS= read -r question < "%(dir)s/question"
printf '%%s' "$question"
asked=$EPOCHREALTIME
IFS= read -r answer
answered=$EPOCHREALTIME
printf '%%s\t%%s\t%%s\t%%s\n' "$asked" "$answered" "${answer%%$'\r'}" \
  "$SSH_ORIGINAL_COMMAND" >> "%(dir)s/out/log"
printf 'rebooting\n'
"""


def read_forced_log(path):
    if not os.path.exists(path):
        return []
    records = []
    with open(path) as f:
        for line in f:
            if not line.endswith("\n"):
                break
            asked, answered, answer, command = line[:-1].split("\t", 3)
            records.append({"asked": float(asked), "answered": float(answered),
                            "answer": answer, "command": command})
    return records


def forced_latency(record):
    return (record["answered"] - record["asked"]) * 1000.0


def wait_listening(port, process, limit_s=10.0):
    import socket
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        if process.poll() is not None:
            return False
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.05)
    return False


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def package_version(name):
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", name],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    # "1:9.2p1-2+deb12u3" -> "9.2p1"
    return done.stdout.strip().split(":")[-1].split("-")[0] or "?"


class RealServers:
    """A throwaway user whose forced command asks the question, served by
    OpenSSH's sshd and by dropbear on loopback ports. Root only."""

    def __init__(self, folder):
        self.dir = os.path.join(folder, "real")
        self.user = "swkbench%d" % os.getpid()
        self.password = "Bench-7 pass"
        self.processes = []
        self.user_added = False

    def __enter__(self):
        os.makedirs(os.path.join(self.dir, "out"))
        os.chmod(os.path.dirname(self.dir), 0o755)
        os.chmod(self.dir, 0o755)
        script = os.path.join(self.dir, "ask.sh")
        with open(script, "w") as f:
            f.write(ASK_SCRIPT % {"dir": self.dir})
        os.chmod(script, 0o755)
        self.set_question(QUESTION)
        subprocess.run(["useradd", "-M", "-s", "/bin/bash", "-d", self.dir, self.user],
                       check=True)
        self.user_added = True
        subprocess.run(["chpasswd"], input=("%s:%s\n" % (self.user, self.password)).encode(),
                       check=True)
        shutil.chown(os.path.join(self.dir, "out"), user=self.user)
        return self

    def __exit__(self, *unused):
        for process in self.processes:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self.user_added:
            subprocess.run(["userdel", self.user], stderr=subprocess.DEVNULL)

    def set_question(self, text):
        with open(os.path.join(self.dir, "question"), "w") as f:
            f.write(text + "\n")

    def log(self, name):
        return os.path.join(self.dir, "out", name)

    def server(self, name, port, log_name):
        path = self.log(log_name)
        return Server(name, port, self.user, self.password,
                      lambda: read_forced_log(path), forced_latency, False)

    def start(self, args, port):
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.processes.append(process)
        check(wait_listening(port, process), "%s did not start" % args[0])

    def start_sshd(self):
        port = free_port()
        os.makedirs("/run/sshd", exist_ok=True)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                        os.path.join(self.dir, "sshd_host_key")], check=True)
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s/sshd_host_key\n"
                    "PidFile %s/sshd.pid\nPasswordAuthentication yes\n"
                    "KbdInteractiveAuthentication no\nPubkeyAuthentication no\nUsePAM no\n"
                    "PermitRootLogin no\nStrictModes no\nAllowUsers %s\n"
                    "ForceCommand %s/ask.sh\n"
                    % (port, self.dir, self.dir, self.user, self.dir))
        self.start([SSHD, "-D", "-e", "-f", config], port)
        return port

    def start_dropbear(self):
        port = free_port()
        key = os.path.join(self.dir, "dropbear_host_key")
        subprocess.run(["dropbearkey", "-t", "ed25519", "-f", key], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.start([DROPBEAR, "-F", "-E", "-w", "-j", "-k", "-r", key,
                    "-P", os.path.join(self.dir, "dropbear.pid"),
                    "-p", "127.0.0.1:%d" % port, "-c", os.path.join(self.dir, "ask.sh")], port)
        return port


def median(values):
    return statistics.median(values)


def verdict(met, target):
    return target + (" met" if met else " MISSED")


def start_paramiko(folder):
    log = os.path.join(folder, "paramiko.json")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "paramiko_router.py")
    # Debian's paramiko is installed for the system's interpreter.
    process = subprocess.Popen(["/usr/bin/python3", script, "--user", USER, "--password", PASSWORD,
                                "--log", log], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    port = int(process.stdout.readline())
    return process, port, log


def print_tables(conversations, latencies, peaks, runs, real, baseline):
    kinds = ["swKicker"] + (["baseline"] if baseline else [])
    print("Whole conversation against ssh + sshpass, %d runs each in alternating order"
          " (median wall time, ms)" % runs)
    if baseline:
        print("  baseline: %s" % baseline)
        print("  %-46s %9s %9s %9s %9s %9s %9s  %s" % (
            "server", "baseline", "change", "ssh", "chg/base", "base/ssh", "chg/ssh",
            "goal (change/ssh)"))
    else:
        print("  %-58s %9s %9s %7s  %s" % ("server", "swKicker", "ssh", "ratio", "goal"))
    for name, walls, goal in conversations:
        s, o = median(walls["swKicker"]), median(walls["ssh"])
        met = verdict(s <= goal * o, "<= %.2f" % goal)
        if baseline:
            b = median(walls["baseline"])
            print("  %-46s %9.1f %9.1f %9.1f %9.2f %9.2f %9.2f  %s" % (
                name, b, s, o, s / b, b / o, s / o, met))
        else:
            print("  %-58s %9.1f %9.1f %7.2f  %s" % (name, s, o, s / o, met))
    if not real:
        print("  (sshd and dropbear: skipped, they need root)")
    print()
    print("Peak resident memory against the simulator, KiB (medians of /usr/bin/time's)")
    for kind in kinds:
        peak_s, peak_o = median(peaks[kind]), median(peaks["ssh"])
        label = "%s against ssh" % ("change" if kind == "swKicker" else kind)
        print("  %-46s %9d %9d %7.2f  %s" % (
            label, peak_s, peak_o, peak_s / peak_o, verdict(peak_s < peak_o, "< 1.00")))
    print()
    print("Question-to-answer latency, %d runs each: simulator clock (1 ms steps), the"
          " paramiko router's," % runs)
    print("forced command's clock (bash EPOCHREALTIME) on sshd and dropbear")
    if baseline:
        print("  %-46s %8s %8s %8s %8s  %s" % ("", "baseline", "median", "min", "max",
                                             "goal, ms"))
    else:
        print("  %-46s %8s %8s %8s  %s" % ("", "median", "min", "max", "goal, ms"))
    for name, values, goal, met in latencies:
        mine = values["swKicker"]
        before = ("%8.1f " % median(values["baseline"])) if baseline else ""
        print("  %-46s %s%8.1f %8.1f %8.1f  %s" % (
            name + ", ms", before, median(mine), min(mine), max(mine), verdict(met, goal)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="build folder")
    parser.add_argument("--swkicker", help="swKicker to measure (default: the build's)")
    parser.add_argument("--baseline", help="another swKicker, measured beside it")
    parser.add_argument("--baseline-name", help="what the baseline is, for the table")
    parser.add_argument("--runs", type=int, default=20)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    sim = os.path.join(build, "swKicker-router-sim")
    swkicker = {"swKicker": os.path.abspath(options.swkicker or os.path.join(build, "swKicker"))}
    if options.baseline:
        swkicker["baseline"] = os.path.abspath(options.baseline)
    runs = options.runs
    real = (os.geteuid() == 0 and os.access(SSHD, os.X_OK) and os.access(DROPBEAR, os.X_OK))

    def latency_row(name, values, below_ms=2.0):
        return (name, values, "< %g" % below_ms, median(values["swKicker"]) < below_ms)

    def idle_row(name, values):
        return (name, values, "about 250", 200 <= median(values["swKicker"]) < 300)

    def latencies_of(server, env, folder):
        return {kind: swkicker_latencies(server, swkicker, env, folder, runs, kind)
                for kind in swkicker}

    conversations = []  # (name, walls, goal ratio to ssh)
    latencies = []      # (name, values per kind, goal text, met)
    with tempfile.TemporaryDirectory(prefix="swk-bench-") as folder:
        home = os.path.join(folder, "home")
        os.makedirs(os.path.join(home, ".ssh"), mode=0o700)
        env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "LANG": "C.UTF-8"}

        running = []
        try:
            started = start_simulator(sim, folder, "newline", True)
            running.append(started[0])
            server = simulator_server(started, "simulator")
            walls, peaks, line_fed = side_by_side(server, swkicker, env, folder, runs)
            conversations.append(("simulator, TCP_NODELAY, line-fed question", walls, 0.3))
            latencies.append(latency_row("line-fed question (simulator)", line_fed))

            started = start_paramiko(folder)
            running.append(started[0])
            server = simulator_server(started, "paramiko router", strict_close=False)
            walls_paramiko, _, paramiko_fed = side_by_side(server, swkicker, env, folder, runs)
            conversations.append(("paramiko router, Nagle on, line-fed question",
                                  walls_paramiko, 0.3))
            latencies.append(latency_row("line-fed question (paramiko)", paramiko_fed))

            started = start_simulator(sim, folder, "nagle", True, nagle=True)
            running.append(started[0])
            server = simulator_server(started, "simulator with Nagle on")
            walls_nagle, _, _ = side_by_side(server, swkicker, env, folder, runs)
            conversations.append(("simulator, Nagle on, line-fed question", walls_nagle, 0.4))

            started = start_simulator(sim, folder, "prompt", False)
            running.append(started[0])
            latencies.append(latency_row(
                "prompt without line feed (simulator)",
                latencies_of(simulator_server(started, "simulator"), env, folder)))

            started = start_simulator(sim, folder, "plain", False, question=PLAIN_QUESTION)
            running.append(started[0])
            latencies.append(idle_row(
                "other text without line feed (simulator)",
                latencies_of(simulator_server(started, "simulator"), env, folder)))
        finally:
            for process in running:
                process.terminate()
                process.wait()

        if real:
            with RealServers(folder) as servers:
                sshd = servers.server("sshd", servers.start_sshd(), "log")
                walls_sshd, _, sshd_prompt = side_by_side(sshd, swkicker, env, folder, runs)
                conversations.append(("OpenSSH sshd %s, prompt without LF"
                                      % package_version("openssh-server"), walls_sshd, 0.5))
                dropbear = servers.server("dropbear", servers.start_dropbear(), "log")
                walls_db, _, db_prompt = side_by_side(dropbear, swkicker, env, folder, runs)
                conversations.append(("dropbear %s, prompt without LF"
                                      % package_version("dropbear-bin"), walls_db, 0.5))
                latencies.append(latency_row("prompt without line feed (sshd)", sshd_prompt))
                latencies.append(latency_row("prompt without line feed (dropbear)", db_prompt))
                servers.set_question(PLAIN_QUESTION)
                latencies.append(idle_row("other text without line feed (sshd)",
                                          latencies_of(sshd, env, folder)))

    print_tables(conversations, latencies, peaks, runs, real,
                 options.baseline_name or options.baseline)


if __name__ == "__main__":
    main()
