#!/usr/bin/python3
"""Download endpoint for tests: serves update archives and scripts the way the download site does.

    http_endpoint.py --root DIR [--log FILE] [--control FILE] [--rule RULE]... [--time-limit S]
                     [--sent FILE] [--tls-cert FILE --tls-key FILE]

Requests: GET (or HEAD) /download/_UPDATE/update.php?file=CLIENT/SECTION/NAME answers with the
file DIR/CLIENT/SECTION/NAME. Every part of the name is matched case-insensitively against
the folder ("UPDATE.ZIP" finds "Update.zip"); the query is percent-decoded as Windows-1250.
A missing file, a name that leaves DIR, or any other path is answered with 404.

Every file is sent with a strong ETag (from its inode, size and modification time) and a
Last-Modified date. A request with "Range: bytes=N-" gets 206 with the rest from N and a
Content-Range, or 416 when N is not below the length; with an If-Range that matches neither
the ETag nor the date it gets the whole file (200).

Start-up: binds 127.0.0.1 on a free port and prints "LISTENING <port>" as its first line.
It stops when its standard input closes and after --time-limit seconds (default 600).

--tls-cert FILE --tls-key FILE: speaks HTTPS instead, with this certificate (PEM, the chain it
sends) and key. A client that refuses the certificate ends its connection unanswered and
unlogged.

--log FILE: one line per request, tab-separated, UTF-8:
    METHOD  PATH?QUERY  User-Agent  Cache-Control  Pragma  Range  If-Range
    (a header that was not sent is written as "-").
--sent FILE: the number of body bytes sent so far, over all requests, rewritten as it grows
(by default the log's name with ".sent" appended, when there is a log).

Misbehaviour for chosen files. A rule names a file and what to do with it:
    --rule 'NAME:key=value,key=value'
NAME is the last part of the file name or the whole CLIENT/SECTION/NAME, case-insensitive;
"*" matches every file. Keys:
    status=CODE    answer with this status; the body is the file when it exists, else a line
    cut=BYTES      announce the full length but send the body only up to BYTES of the file
                   (a range that starts there or later sends nothing), then close
    stall=SECONDS  send the headers and the body up to `cut` (nothing without cut), then
                   nothing for SECONDS, then close
    hang=SECONDS   accept the request and answer nothing for SECONDS, then close
    drop=1         close the connection without any answer
    cutby=BYTES    send at most BYTES of the body of each answer, then close
    nolength=1     send no Content-Length; the body ends when the connection closes
    after=N        serve the first N requests for this file normally, misbehave from then on
    times=N        misbehave for N requests only (after the first `after`), then serve
                   normally (then, noetag, weak, nodate, norange and rangeonly stay)
    then=NAME      serve the file NAME of the same folder instead, once `times` is used up
                   when there is one: the file was replaced on the server
    noetag=1       send no ETag;  weak=1: send it as a weak one (W/"...")
    nodate=1       send no Last-Modified
    norange=1      ignore Range and If-Range: always the whole file with 200
    rangeonly=1    honour Range but ignore If-Range: the part asked for of whatever file is
                   there now (206), whichever version the client holds
    location=URL   answer 302 with this Location (in the control file, or a --rule without
                   commas in the URL)
--control FILE: a JSON object {"NAME": {"key": value, ...}, ...} with the same keys, read again
at every request so a test can change the behaviour while the endpoint runs. Its entries
take precedence over --rule. A changed control file starts the request counts of `after` anew.
"""

import argparse
import json
import os
import ssl
import sys
import threading
import time
import urllib.parse
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PREFIX = "/download/_UPDATE/update.php"
CHUNK = 4 * 1024 * 1024
# What a rule says of the server rather than of a fault: it outlasts `times`.
LASTING = ("then", "noetag", "weak", "nodate", "norange", "rangeonly")


def parse_rule(text):
    name, _, settings = text.partition(":")
    rule = {}
    for item in filter(None, settings.split(",")):
        key, _, value = item.partition("=")
        key = key.strip()
        rule[key] = value.strip() if key in ("location", "then") else int(value)
    return name.strip().lower(), rule


class Endpoint:
    def __init__(self, args):
        self.root = os.path.realpath(args.root)
        self.log_path = args.log
        self.control_path = args.control
        self.sent_path = args.sent or (args.log + ".sent" if args.log else None)
        self.sent = 0
        self.rules = dict(parse_rule(r) for r in args.rule)
        self.counts = {}
        self.control = ""
        self.lock = threading.Lock()

    def log(self, handler):
        if not self.log_path:
            return
        fields = [
            handler.command,
            handler.path,
            handler.headers.get("User-Agent", "-"),
            handler.headers.get("Cache-Control", "-"),
            handler.headers.get("Pragma", "-"),
            handler.headers.get("Range", "-"),
            handler.headers.get("If-Range", "-"),
        ]
        line = "\t".join(f.replace("\t", " ").replace("\n", " ") for f in fields) + "\n"
        with self.lock, open(self.log_path, "a", encoding="utf-8") as log:
            log.write(line)

    def count_sent(self, count):
        if not self.sent_path or count == 0:
            return
        with self.lock:
            self.sent += count
            with open(self.sent_path + ".new", "w", encoding="ascii") as f:
                f.write(str(self.sent))
            os.replace(self.sent_path + ".new", self.sent_path)

    def rule_for(self, name):
        rules = dict(self.rules)
        control = ""
        if self.control_path and os.path.exists(self.control_path):
            with open(self.control_path, encoding="utf-8") as f:
                control = f.read()
            rules.update({k.lower(): v for k, v in json.loads(control or "{}").items()})
        key = name.lower()
        with self.lock:
            if control != self.control:
                self.control = control
                self.counts.clear()
            count = self.counts.get(key, 0)
            self.counts[key] = count + 1
        for candidate in (key, key.rsplit("/", 1)[-1], "*"):
            rule = rules.get(candidate)
            if rule is not None:
                after = int(rule.get("after", 0))
                if count < after:
                    return {}
                if "times" in rule and count >= after + int(rule["times"]):
                    return {k: v for k, v in rule.items() if k in LASTING}
                return {k: v for k, v in rule.items() if k != "then" or "times" not in rule}
        return {}

    def resolve(self, name):
        """The file for CLIENT/SECTION/NAME, matched part by part ignoring case, or None."""
        path = self.root
        for part in name.replace("\\", "/").split("/"):
            if part in ("", ".", ".."):
                return None
            try:
                entries = os.listdir(path)
            except OSError:
                return None
            match = next((e for e in entries if e == part), None)
            if match is None:
                match = next((e for e in entries if e.lower() == part.lower()), None)
            if match is None:
                return None
            path = os.path.join(path, match)
        path = os.path.realpath(path)
        if not path.startswith(self.root + os.sep) or not os.path.isfile(path):
            return None
        return path


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    endpoint = None

    def setup(self):
        # The TLS handshake runs here, on the connection's own thread, so a client that stalls
        # or refuses in it holds up no other.
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(30)
            self.request.do_handshake()
            self.request.settimeout(None)
        super().setup()

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def do_HEAD(self):
        self.answer_quietly(send_body=False)

    def do_GET(self):
        self.answer_quietly(send_body=True)

    def answer_quietly(self, send_body):
        # A client that stops reading (a status check, a time-out) is no error here.
        try:
            self.answer(send_body)
        except ConnectionError:
            self.close_connection = True

    def answer(self, send_body):
        self.close_connection = True
        self.endpoint.log(self)
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, encoding="cp1250")
        name = query.get("file", [""])[0]
        if url.path != PREFIX or not name:
            return self.plain(404, send_body)
        rule = self.endpoint.rule_for(name)
        if rule.get("drop"):
            return
        if rule.get("hang"):
            time.sleep(rule["hang"])
            return
        if rule.get("location"):
            return self.redirect(rule["location"], send_body)
        if rule.get("then"):
            name = name.replace("\\", "/").rsplit("/", 1)[0] + "/" + rule["then"]
        path = self.endpoint.resolve(name)
        status = int(rule.get("status", 200 if path else 404))
        if path is None:
            return self.plain(status, send_body)
        with open(path, "rb") as f:
            self.send_answer(status, rule, f, send_body)

    def validators(self, f, rule):
        st = os.fstat(f.fileno())
        etag = '"%x-%x-%x"' % (st.st_ino, st.st_size, st.st_mtime_ns)
        if rule.get("weak"):
            etag = "W/" + etag
        return (None if rule.get("noetag") else etag,
                None if rule.get("nodate") else formatdate(st.st_mtime, usegmt=True))

    def wanted_range(self, etag, date, size, rule):
        """The first byte asked for when the request may have a part, else None."""
        asked = self.headers.get("Range")
        if rule.get("norange") or not asked or not asked.startswith("bytes="):
            return None
        first, dash, last = asked[len("bytes="):].partition("-")
        if not dash or last or not first.isdigit():
            return None
        condition = self.headers.get("If-Range")
        # Only a strong validator vouches for every byte.
        if condition is not None and not rule.get("rangeonly") and not (
            (etag and not etag.startswith("W/") and condition == etag) or condition == date
        ):
            return None
        return int(first)

    def send_answer(self, status, rule, f, send_body):
        size = os.fstat(f.fileno()).st_size
        etag, date = self.validators(f, rule)
        start = 0
        first = self.wanted_range(etag, date, size, rule) if status == 200 else None
        if first is not None and first >= size:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return
        if first is not None:
            status = 206
            start = first
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if etag:
            self.send_header("ETag", etag)
        if date:
            self.send_header("Last-Modified", date)
        self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        if not rule.get("nolength"):
            self.send_header("Content-Length", str(size - start))
        self.send_header("Connection", "close")
        self.end_headers()
        if not send_body:
            return
        limit = size
        if "cut" in rule or "stall" in rule:
            limit = min(size, int(rule.get("cut", 0)))
        if "cutby" in rule:
            limit = min(limit, start + int(rule["cutby"]))
        self.send_file(f, start, max(start, limit))
        if rule.get("stall"):
            time.sleep(rule["stall"])

    def plain(self, status, send_body):
        body = ("status %d\n" % status).encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def redirect(self, location, send_body):
        body = b"moved\n"
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def send_file(self, f, start, end):
        self.wfile.flush()
        if isinstance(self.connection, ssl.SSLSocket):
            # The kernel cannot encrypt; the bytes go through the TLS layer.
            f.seek(start)
            while start < end:
                block = f.read(min(CHUNK, end - start))
                if not block:
                    break
                self.wfile.write(block)
                self.endpoint.count_sent(len(block))
                start += len(block)
            return
        out = self.connection.fileno()
        offset = start
        while offset < end:
            sent = os.sendfile(out, f.fileno(), offset, min(CHUNK, end - offset))
            if sent == 0:
                break
            self.endpoint.count_sent(sent)
            offset += sent


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that refused our certificate, or went away in the handshake, is what some
        # tests want to see; everything else is reported as before.
        error = sys.exc_info()[1]
        if isinstance(error, ssl.SSLError) or (
            isinstance(request, ssl.SSLSocket) and isinstance(error, (ConnectionError, TimeoutError))
        ):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--log")
    parser.add_argument("--control")
    parser.add_argument("--sent")
    parser.add_argument("--rule", action="append", default=[])
    parser.add_argument("--time-limit", type=float, default=600)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args()

    Handler.endpoint = Endpoint(args)
    server = Server(("127.0.0.1", 0), Handler)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(
            server.socket, server_side=True, do_handshake_on_connect=False
        )
    threading.Thread(target=server.serve_forever, daemon=True).start()
    timer = threading.Timer(args.time_limit, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    print("LISTENING %d" % server.server_address[1], flush=True)
    while sys.stdin.buffer.read(65536):
        pass
    os._exit(0)


if __name__ == "__main__":
    main()
