#!/usr/bin/python3
"""A local FTP server for the transfer tests.

Serves one folder to one user on 127.0.0.1, on a port picked at start (or --port), and writes
"LISTENING <port>" as its first line. It stops when its standard input closes or after
--time-limit seconds. Every command is appended to --log as the raw bytes the client sent.

The user name and password are compared as the bytes they become in --encoding (CP1250 by
default), so a client that sends another encoding fails to log in.

Faults on request (each option may be given for several files), for the file whose name
(last path part) matches:
  --cut NAME:BYTES[:TIMES]    the transfer breaks after BYTES bytes (426 on the control line);
                              only the first TIMES transfers of it when TIMES is given
  --cut-at NAME:POSITION      every transfer breaks when it reaches POSITION of the file, also
                              one that began there or later (REST)
  --replace NAME:OTHER        after the first break of NAME, the file OTHER of the same folder
                              is moved over it: the file was replaced on the server
  --pause NAME:BYTES:SECONDS  the server goes silent for SECONDS after BYTES bytes
  --mute NAME                 a command naming it (USER, CWD, SIZE, RETR, ...) is logged but
                              never answered; the server goes on serving everyone else
and for the whole session:
  --refuse-size               every SIZE is answered "550 SIZE not allowed here."
  --ignore-quit               QUIT is logged but never answered; the connection stays open
"""

import argparse
import errno
import logging
import os
import sys
import threading
import time

from pyftpdlib import log as ftplog
from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def raw_bytes(text):
    # Commands are decoded as UTF-8 with surrogateescape; this gives back what was sent.
    return text.encode("utf8", "surrogateescape")


class FaultyFile:
    """A file that breaks or stalls after a number of bytes. It has no fileno, so the
    server falls back from sendfile to plain sends and the byte count is exact."""

    def __init__(self, real, limit, action, seconds, absolute=False, on_cut=None):
        self._real = real
        self._limit = limit
        self._action = action
        self._seconds = seconds
        self._absolute = absolute
        self._on_cut = on_cut
        self._sent = 0
        self._done = False

    def read(self, size=-1):
        if not self._done:
            reached = self._real.tell() if self._absolute else self._sent
            if reached >= self._limit:
                self._done = True
                if self._action == "cut":
                    if self._on_cut:
                        self._on_cut()
                    raise OSError(errno.EIO, os.strerror(errno.EIO))
                # The bytes before the limit have left for the kernel; blocking here
                # silences the whole server.
                time.sleep(self._seconds)
            else:
                room = self._limit - reached
                if size < 0 or size > room:
                    size = room
        data = self._real.read(size)
        self._sent += len(data)
        return data

    def __getattr__(self, name):
        if name == "fileno":
            raise AttributeError(name)
        return getattr(self._real, name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--encoding", default="cp1250")
    parser.add_argument("--log", default=None)
    parser.add_argument("--cut", action="append", default=[])
    parser.add_argument("--pause", default=None)
    parser.add_argument("--cut-at", action="append", default=[])
    parser.add_argument("--replace", action="append", default=[])
    parser.add_argument("--mute", action="append", default=[])
    parser.add_argument("--refuse-size", action="store_true")
    parser.add_argument("--ignore-quit", action="store_true")
    parser.add_argument("--time-limit", type=float, default=120)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    faults = {}
    cut_times = {}
    for cut in args.cut:
        parts = cut.split(":")
        faults[raw_bytes(parts[0])] = (int(parts[1]), "cut", 0.0, False)
        if len(parts) > 2:
            cut_times[raw_bytes(parts[0])] = int(parts[2])
    for cut in args.cut_at:
        name, limit = cut.rsplit(":", 1)
        faults[raw_bytes(name)] = (int(limit), "cut", 0.0, True)
    replacements = {}
    for replace in args.replace:
        name, other = replace.split(":", 1)
        replacements[raw_bytes(name)] = other
    if args.pause:
        name, limit, seconds = args.pause.rsplit(":", 2)
        faults[raw_bytes(name)] = (int(limit), "pause", float(seconds), False)

    muted = {raw_bytes(name) for name in args.mute}

    expected_user = args.user.encode(args.encoding)
    expected_password = args.password.encode(args.encoding)
    log_file = open(args.log, "ab", buffering=0) if args.log else None

    class Authorizer(DummyAuthorizer):
        def validate_authentication(self, username, password, handler):
            if raw_bytes(username) != expected_user or raw_bytes(password) != expected_password:
                raise AuthenticationFailed("Authentication failed.")

        def has_user(self, username):
            return raw_bytes(username) == expected_user

        def get_home_dir(self, username):
            return args.root

        def has_perm(self, username, perm, path=None):
            return perm in "elr"

        def get_perms(self, username):
            return "elr"

        def get_msg_login(self, username):
            return "Login successful."

        def get_msg_quit(self, username):
            return "Goodbye."

    class FaultyFS(AbstractedFS):
        def open(self, filename, mode):
            real = super().open(filename, mode)
            name = raw_bytes(os.path.basename(filename))
            fault = faults.get(name)
            if fault is None:
                return real
            if name in cut_times:
                if cut_times[name] <= 0:
                    return real
                cut_times[name] -= 1
            on_cut = None
            if name in replacements:
                other = os.path.join(os.path.dirname(filename), replacements.pop(name))
                on_cut = lambda: os.replace(other, filename)  # noqa: E731
            return FaultyFile(real, *fault, on_cut=on_cut)

    class Handler(FTPHandler):
        authorizer = Authorizer()
        abstracted_fs = FaultyFS
        auth_failed_timeout = 0
        # Keep the bytes the client sent, so they can be compared and logged as they came.
        unicode_errors = "surrogateescape"
        banner = "Test server ready."
        permit_privileged_ports = False

        def push(self, s):
            # Replies quote paths, which may hold bytes that are not UTF-8.
            super().push(s.encode("utf8", "surrogateescape").decode("utf8", "replace"))

        def pre_process_command(self, line, cmd, arg):
            if log_file is not None:
                log_file.write(raw_bytes(line) + b"\n")
            if arg and raw_bytes(os.path.basename(arg.rstrip("/"))) in muted:
                return
            super().pre_process_command(line, cmd, arg)

        if args.refuse_size:

            def ftp_SIZE(self, path):
                self.respond("550 SIZE not allowed here.")

        if args.ignore_quit:

            def ftp_QUIT(self, line):
                # Neither a reply nor a hang-up: only the client can end the session now.
                pass

    ftplog.config_logging(level=logging.WARNING)
    server = FTPServer(("127.0.0.1", args.port), Handler)
    print("LISTENING %d" % server.socket.getsockname()[1], flush=True)

    def watch_stdin():
        sys.stdin.buffer.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    limit = threading.Timer(args.time_limit, lambda: os._exit(0))
    limit.daemon = True
    limit.start()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
