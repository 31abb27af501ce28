#!/usr/bin/env python3
"""Where the password can leak from a running swKicker: the process list from
the first moments of the run, a core file or another process of the same user,
and the process's own memory once the session is over (a fleet run's too, after
its retry list was written).

Usage: secrets_test.py PATH_TO_swKicker PATH_TO_swKicker-router-sim
"""

import os
import pty
import re
import select
import shutil
import socket
import signal
import subprocess
import sys
import tempfile
import time

program, simulator = sys.argv[1], sys.argv[2]
failures = []

PASSWORD = "Kick3r-S3cret-\u00e9t\u00e9"
CHUNK = 1 << 22
HUGE_MAPPING = 1 << 34
# The longest ASCII stretch: a copy cut short or re-encoded still shows it.
ASCII_PART = "Kick3r-S3cret"


def fail(message):
    print("FAIL: " + message)
    failures.append(message)


def start_in_pty(argv, env=None, preexec=None):
    """Starts argv on a new pseudo-terminal, its controlling terminal; returns
    (process, master descriptor)."""
    master, slave = pty.openpty()

    def child_setup():
        os.setsid()
        import fcntl
        import termios
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        if preexec is not None:
            preexec()

    process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave,
                               preexec_fn=child_setup, env=env, close_fds=True)
    os.close(slave)
    return process, master


def read_until(master, needle, seconds):
    """Reads the terminal until needle has appeared; returns everything read."""
    seen = b""
    deadline = time.monotonic() + seconds
    while needle not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    return seen


def cmdline(pid):
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        return f.read().split(b"\0")[:-1]


def stop(process, master):
    if process.poll() is None:
        process.kill()
    process.wait()
    os.close(master)


work = tempfile.mkdtemp()
# A terminal type that can be asked for its cursor: the first thing the
# program writes is then that question, whatever TERM the caller has.
env = dict(os.environ, HOME=os.path.join(work, "home"), LANG="C.UTF-8",
           TERM="xterm")
env.pop("LC_ALL", None)
os.makedirs(env["HOME"])

# --- The password leaves the process list before the terminal start-up ---
# The program's first byte to the terminal comes from its start-up, which
# then waits for an answer that never comes here: the command line read at
# that moment shows what ps shows from the first milliseconds on.
starring_cases = [
    ("plain", ["/user:admin", "/pw:" + PASSWORD, "/port:1", "/v:n", "/ip:"],
     ["/user:admin", "/pw:" + "*" * len(PASSWORD.encode()), "/port:1", "/v:n", "/ip:"]),
    # A quote followed by a space in the first argument makes its last word
    # parameter 2; the argument holding /pw: goes as well.
    ("quote and space before", ['/user:a" b', "/pw:" + PASSWORD, "/v:n"],
     ['/user:a" *', "/pw:" + "*" * len(PASSWORD.encode()), "/v:n"]),
    ("empty first argument", ["", "/user:a", "/pw:" + PASSWORD, "/v:n"],
     ["", "/user:a", "/pw:" + "*" * len(PASSWORD.encode()), "/v:n"]),
    # An unclosed quote swallows the rest: there is no parameter 2 at all.
    ("unclosed quote", ['"/user:a', "/pw:" + PASSWORD, "/v:n"],
     ['"/user:a', "/pw:" + "*" * len(PASSWORD.encode()), "/v:n"]),
]
for name, args, expected in starring_cases:
    process, master = start_in_pty([program] + args, env=env)
    first = read_until(master, b"\x1b", 5)
    try:
        shown = [a.decode("utf-8", "replace") for a in cmdline(process.pid)[1:]]
    except OSError as error:
        shown = ["<%s>" % error]
    stop(process, master)
    if not first:
        fail("starring (%s): the program wrote nothing to its terminal" % name)
    elif shown != expected:
        fail("starring (%s): the process list shows %r" % (name, shown))

# --- Not dumpable: the entries in its /proc folder belong to root (the folder
# itself keeps its owner on recent kernels), its core limit is 0 ---
# Run as another user than root (nobody when the test runs as root), since a
# root process's entries belong to root anyway.
copy = os.path.join(work, "swKicker")
shutil.copy(program, copy)
os.chmod(work, 0o755)
os.chmod(copy, 0o755)


def drop_to_nobody():
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)


process, master = start_in_pty([copy, "/user:a", "/pw:x", "/port:1", "/v:y", "/ip:"],
                               env=dict(env, HOME="/nonexistent"), preexec=drop_to_nobody)
read_until(master, b"Connection attempt failed", 10)
try:
    status = open("/proc/%d/status" % process.pid).read()
    real_uid = int(re.search(r"^Uid:\s+(\d+)", status, re.M).group(1))
    limits = open("/proc/%d/limits" % process.pid).read()
    if real_uid == 0:
        fail("dumpable: the run was not made as another user")
    for entry in ("status", "mem", "environ"):
        owner = os.stat("/proc/%d/%s" % (process.pid, entry)).st_uid
        if owner != 0:
            fail("dumpable: /proc/PID/%s belongs to uid %d" % (entry, owner))
    if not re.search(r"^Max core file size\s+0\s+0\s", limits, re.M):
        fail("core limit: " + [l for l in limits.splitlines() if "core" in l][0])
except (OSError, AttributeError) as error:
    fail("dumpable: the process could not be looked at: %s" % error)
stop(process, master)

# --- No copy of the password in memory during the pauses (root) ---
PATTERNS = {
    "UTF-8": PASSWORD.encode("utf-8"),
    "UTF-16LE": PASSWORD.encode("utf-16-le"),
    "ASCII part": ASCII_PART.encode("ascii"),
    "ASCII part in UTF-16LE": ASCII_PART.encode("utf-16-le"),
}


def scan_memory(pid, patterns=None):
    """The password's forms found in the writable memory of pid."""
    patterns = patterns or PATTERNS
    found = []
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        for line in maps:
            fields = line.split()
            if "w" not in fields[1]:
                continue
            start, end = (int(x, 16) for x in fields[0].split("-"))
            # A sanitizer's shadow memory is terabytes of writable
            # reservation and never holds program data.
            if end - start > HUGE_MAPPING:
                continue
            where = fields[5] if len(fields) > 5 else "anonymous"
            overlap = max(len(p) for p in patterns.values()) - 1
            tail = b""
            for chunk_start in range(start, end, CHUNK):
                try:
                    mem.seek(chunk_start)
                    data = tail + mem.read(min(CHUNK, end - chunk_start))
                except OSError:
                    tail = b""
                    continue
                for label, pattern in patterns.items():
                    entry = "%s in %s" % (label, where)
                    if pattern in data and entry not in found:
                        found.append(entry)
                tail = data[-overlap:]
    return found


def start_simulator(*options):
    sim = subprocess.Popen([simulator, "--lifetime", "120",
                            "--log", os.path.join(work, "router.log")] + list(options),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return sim, sim.stdout.readline().decode().strip()


if os.geteuid() != 0:
    print("SKIP: the memory scan needs root")
else:
    # The closing pause after a delivered answer, and the failure pause
    # after the router refused the password or its host key was refused.
    CLOSING = b"done - quitting in 4 seconds"
    FAILED = b"Connection attempt failed"
    cases = [
        ("closing pause, password", ["--password", PASSWORD], CLOSING, False),
        ("closing pause, keyboard-interactive",
         ["--password", PASSWORD, "--keyboard-interactive"], CLOSING, False),
        ("failure pause, password refused", ["--password", "other"], FAILED, False),
        ("failure pause, keyboard-interactive refused",
         ["--password", "other", "--keyboard-interactive"], FAILED, False),
        ("failure pause, host key refused", ["--password", PASSWORD], FAILED, True),
    ]
    for name, options, marker, list_other_key in cases:
        sim, port = start_simulator("--user", "admin", *options)
        ssh_dir = os.path.join(env["HOME"], ".ssh")
        shutil.rmtree(ssh_dir, ignore_errors=True)
        if list_other_key:
            os.makedirs(ssh_dir)
            key = os.path.join(work, "other_key")
            if not os.path.exists(key):
                subprocess.run(["ssh-keygen", "-q", "-N", "", "-t", "ed25519", "-f", key],
                               check=True)
            with open(key + ".pub") as pub, open(os.path.join(ssh_dir, "known_hosts"), "w") as f:
                f.write("[127.0.0.1]:%s %s\n" % (port, " ".join(pub.read().split()[:2])))
        process, master = start_in_pty(
            [program, "/user:admin", "/pw:" + PASSWORD, "/port:" + port, "/v:y", "/ip:127.0.0.1"],
            env=env)
        seen = read_until(master, marker, 60)
        found = []
        if marker not in seen:
            fail("memory (%s): no pause: %r" % (name, seen[-300:]))
        else:
            # The reason line follows the failure line: the pause has begun
            # once it is there.
            if marker == FAILED and b"Reason: " not in seen:
                seen += read_until(master, b"Reason: ", 3)
            found = scan_memory(process.pid)
        stop(process, master)
        shutil.rmtree(ssh_dir, ignore_errors=True)
        if found:
            fail("memory (%s): the password is still there: %s" % (name, ", ".join(found)))
        sim.kill()
        sim.wait()

    # A fleet run's closing pause, after its retry list was written: the
    # list's text, each router's line and the retry list's own text are
    # wiped, as the passwords are. One router reboots, one refuses the
    # password, forty ports are closed; all but the first go in the retry
    # list. Also with a password short enough to live inside a string
    # object, and with many lines, so that copies made on the way (in the
    # vector registers the dynamic linker saves on the stack) would show.
    closed_ports = []
    for _ in range(40):
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        closed_ports.append(closed.getsockname()[1])
        closed.close()
    for password in (PASSWORD, "Kick3r-S3c"):
        sim, port = start_simulator("--user", "admin", "--password", password)
        refusing, refusing_port = start_simulator("--user", "admin", "--password", "other")
        shutil.rmtree(os.path.join(env["HOME"], ".ssh"), ignore_errors=True)
        fleet_list = os.path.join(work, "fleet.list")
        retry = os.path.join(work, "retry.txt")
        if os.path.exists(fleet_list):
            os.unlink(fleet_list)
        with open(os.open(fleet_list, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            for p in [port, refusing_port] + closed_ports:
                f.write('/user:admin "/pw:%s" /port:%s /ip:127.0.0.1\n' % (password, p))
        name = "fleet with /retry:, a %d-byte password" % len(password.encode())
        process, master = start_in_pty([program, "/list:" + fleet_list, "/retry:" + retry],
                                       env=env)
        seen = read_until(master, CLOSING, 60)
        found = []
        if CLOSING not in seen:
            fail("memory (%s): no pause: %r" % (name, seen[-300:]))
        else:
            found = scan_memory(process.pid, {"UTF-8": password.encode("utf-8"),
                                              "UTF-16LE": password.encode("utf-16-le")})
        stop(process, master)
        with open(retry, "rb") as f:
            if f.read().count(password.encode()) != 41:
                fail("memory (%s): the retry list does not hold the 41 lines" % name)
        if found:
            fail("memory (%s): the password is still there: %s" % (name, ", ".join(found)))
        for server in (sim, refusing):
            server.kill()
            server.wait()

shutil.rmtree(work, ignore_errors=True)
if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("secrets: all checks passed")
