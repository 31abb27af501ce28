#!/usr/bin/env python3
"""A router on paramiko that asks the reboot question with a line feed and
takes the answer, for the benchmarks.

paramiko leaves Nagle's algorithm on for the connections it serves, so a
client that holds its ACKs back (or sends two small packets in a row with
Nagle on itself) waits on it. Serves one user on 127.0.0.1 (a port of the
system's choice, printed on stdout once listening); each connection that runs
"/system reboot" is asked "Reboot now? [y/N]: " and the line it answers is
recorded in --log as one JSON object a line, as the router simulator records
it: command, answer, question_sent_ms, answer_ms.
"""
import argparse
import json
import os
import sys
import threading
import time

import paramiko

# The stalling router of the tests has the server side and the listener.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from stalling_router import Router, add_router_options, serve_connections  # noqa: E402

QUESTION = b"Reboot now? [y/N]: \n"


def now_ms():
    return time.monotonic() * 1000.0


LOG_LOCK = threading.Lock()


def serve(conn, args, host_key):
    transport = paramiko.Transport(conn)
    transport.add_server_key(host_key)
    router = Router(args.user, args.password)
    record = {"command": None, "answer": None}
    try:
        transport.start_server(server=router)
        channel = transport.accept(20)
        if channel is None or not router.exec_event.wait(20):
            return
        record["command"] = router.command
        if router.command == "/system reboot":
            channel.send(QUESTION)
            record["question_sent_ms"] = now_ms()
            answer = b""
            while not answer.endswith(b"\n"):
                data = channel.recv(64)
                if not data:
                    break
                answer += data
            record["answer_ms"] = now_ms()
            record["answer"] = answer.decode(errors="replace").rstrip("\r\n")
            channel.send(b"rebooting\n")
        channel.send_exit_status(0)
        channel.close()
        # The client closes the session; the record is written once it has.
        end = time.monotonic() + 10
        while transport.is_active() and time.monotonic() < end:
            time.sleep(0.001)
    except (EOFError, OSError, paramiko.SSHException):
        # A client may close as soon as it has the reply; what it answered
        # is recorded all the same.
        pass
    finally:
        transport.close()
        if args.log and record["command"] is not None:
            with LOG_LOCK, open(args.log, "a") as f:
                f.write(json.dumps(record) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_router_options(parser, lifetime=900)
    args = parser.parse_args()

    return serve_connections(serve, args)


if __name__ == "__main__":
    sys.exit(main())
