#!/usr/bin/env python3
"""A router that asks the reboot question and then gives the answer no way in.

Serves one SSH user on 127.0.0.1 (a port of the system's choice, printed on
stdout once listening), runs "/system reboot" by writing the question
"Reboot now? [y/N]: " and then, per --mode:

  window-1      the channel was opened with a 1-byte window that is never
                adjusted: one byte of the answer fits, the rest waits forever;
  stall-rekey   right after the question the server starts a key re-exchange
                (sends its KEXINIT), reads the client's KEXINIT and then
                answers nothing more;
  stop-reading  right after the question the server reads nothing more from
                the TCP connection (it keeps it open).

Every connection is held open until --lifetime seconds have passed. What
the server received on the channel goes to --log, one line per event.
"""
import argparse
import socket
import sys
import threading
import time

import paramiko
from paramiko.common import MSG_KEXINIT

QUESTION = b"Reboot now? [y/N]: "


class BlockedSocket:
    """A socket whose reads wait forever; writes still go out."""

    def __init__(self, sock):
        self._sock = sock

    def recv(self, n):
        threading.Event().wait()
        return b""

    def __getattr__(self, name):
        return getattr(self._sock, name)


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


def log(args, text):
    if args.log:
        with open(args.log, "a") as f:
            f.write(text + "\n")


def serve(conn, args, host_key):
    transport = paramiko.Transport(conn)
    if args.mode == "window-1":
        # What the server offers the client for its data on a channel; set
        # here rather than through the constructor, which would raise it to
        # paramiko's minimum.
        transport.default_window_size = 1
    transport.add_server_key(host_key)
    router = Router(args.user, args.password)
    transport.start_server(server=router)
    channel = transport.accept(20)
    if channel is None or not router.exec_event.wait(20):
        return
    log(args, "exec " + (router.command or ""))
    if args.mode == "window-1":
        # Received data would otherwise be acknowledged with a window
        # adjustment once past a tenth of the window.
        channel._check_add_window = lambda n: 0
    if router.command != "/system reboot":
        channel.send_exit_status(1)
        channel.close()
        return
    if args.mode == "stop-reading":
        # The transport thread's reader times out every 0.1 s and then reads
        # again through this attribute: once it is swapped, nothing more is
        # read from the connection.
        transport.packetizer._Packetizer__socket = BlockedSocket(conn)
        time.sleep(0.5)
    if args.mode != "stall-rekey":
        channel.send(QUESTION)
        log(args, "asked")
    else:
        # The client's KEXINIT is read and then the transport thread waits
        # forever: the re-exchange never completes and nothing else is read.
        table = dict(type(transport)._handler_table)
        table[MSG_KEXINIT] = lambda self, m: threading.Event().wait()
        transport._handler_table = table
        # The question and the KEXINIT leave in one TCP segment, so the
        # client has the re-exchange before it can answer; sent apart, the
        # answer could go out first and be delivered.
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)
        channel.send(QUESTION)
        transport._send_kex_init()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 0)
        log(args, "asked")
        log(args, "kexinit sent")
    received = b""
    end = time.monotonic() + args.lifetime
    while time.monotonic() < end:
        if args.mode == "window-1" and channel.recv_ready():
            received += channel.recv(16)
            log(args, "received %r" % received)
        time.sleep(0.1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", required=True, choices=["window-1", "stall-rekey", "stop-reading"])
    add_router_options(parser, lifetime=120)
    args = parser.parse_args()

    return serve_connections(serve, args)


def add_router_options(parser, lifetime):
    """The user and password served, the seconds to serve, the log file."""
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--lifetime", type=float, default=lifetime)
    parser.add_argument("--log")


def serve_connections(serve, args):
    """Listens on a port of the system's choice on 127.0.0.1, prints it, and
    hands each connection to serve(conn, args, host_key) on a thread of its
    own until args.lifetime seconds have passed."""
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
