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
import socket
import sys
import threading
import time

import paramiko

QUESTION = b"Reboot now? [y/N]: \n"


def now_ms():
    return time.monotonic() * 1000.0


class Router(paramiko.ServerInterface):
    def __init__(self, user, password):
        self.user = user
        self.password = password
        self.exec_event = threading.Event()
        self.command = None

    def get_allowed_auths(self, username):
        return "password"

    def check_auth_password(self, username, password):
        if username == self.user and password == self.password:
            return paramiko.AUTH_SUCCESSFUL
        return paramiko.AUTH_FAILED

    def check_channel_request(self, kind, chanid):
        if kind == "session":
            return paramiko.OPEN_SUCCEEDED
        return paramiko.OPEN_FAILED_ADMINISTRATIVELY_PROHIBITED

    def check_channel_exec_request(self, channel, command):
        self.command = command.decode(errors="replace")
        self.exec_event.set()
        return True


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
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--lifetime", type=float, default=900)
    parser.add_argument("--log")
    args = parser.parse_args()

    host_key = paramiko.RSAKey.generate(2048)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    listener.settimeout(0.5)
    end = time.monotonic() + args.lifetime
    while time.monotonic() < end:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn, args, host_key), daemon=True).start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
