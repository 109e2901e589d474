#!/usr/bin/env python3
"""Fault-injecting HTTPS server for the launcher's tests (Python standard library only).

Start:
    faultserver.py --cert server.crt --key server.key [--control-cert C --control-key K]
                   [--port-file FILE] [--config rules.json] [--lifetime SECONDS]

It listens on 127.0.0.1 only, on two ephemeral ports, both HTTPS (the launcher speaks nothing else):
  - the serving port (with the given certificate), which answers and records every request;
  - a control port (with the control certificate, by default the same), never recorded, through
    which a test sets content and rules; a test serving a refused certificate controls its
    server with a trusted one.
Once both listen it prints "PORTS <serving> <control>" on stdout and, with --port-file, writes
"<serving> <control>" to that file (atomically, so a reader never sees half a line). It exits by
itself after --lifetime seconds (default 900) so that a crashed test leaves nothing behind.

Control interface (on the control port; answers are JSON):
  POST /content          body: the raw bytes to serve; header "X-Path: /some/path" names the path.
  POST /rule             body: JSON rule (below) for the path it names in "path"; replaces any
                         earlier rule for that path and resets its hit counter.
  GET  /requests         every recorded request, oldest first:
                         [{"method", "path", "client_port" (tells connections apart),
                           "header_lines": ["Name: value", ...] (in arrival order), "body_base64"}]
  POST /reset            forgets all content, rules and recorded requests.
  POST /shutdown         stops the server.

Paths are matched exactly against the request target (query included); when that finds nothing,
against the target without its query.

Rule keys (all optional):
  "fail_times": N, "fail_status": S   the first N requests get status S (default 500) with a short
                                      body, later ones are served normally
  "status": S                         status of a normal answer (default 200, or 206 for a range);
                                      a path without content answers it with an empty body
  "ignore_range": true                answer 200 with the whole content even to a Range request
  "encoding": "gzip" | "deflate"      encode the served bytes (Content-Encoding set accordingly)
  "cut_after": K                      announce the full length, send K bytes, close the connection
  "stall_seconds": T                  pause T seconds after the body (or at the cut point) before
                                      going on (the connection answers nothing else meanwhile)
  "stall_after": K                    with stall_seconds: pause after the first K bytes of the body
  "stall_before_headers": true        pause before the status line instead
  "stall_times": N                    stall only the first N requests (default: every one)
  "corrupt_times": N                  the first N normal answers carry the content with one byte
                                      flipped (the first byte served), for damaged-download tests
  "corrupt_range": "bytes=a-b"        only answers to this Range header count for corrupt_times
  "corrupt_at": K                     flip the byte at offset K of the content instead of the first
                                      one served; only answers that serve it count
  "retry_after": "text"               a Retry-After line on the answer (the injected failures too)
Hostile answers:
  "append_bytes": K                   K bytes more than the content (or range) after it, counted in
                                      Content-Length: a body longer than its Content-Range
  "content_range": "bytes a-b/n"      this Content-Range instead of the true one (also on a 200)
  "inflates_to": N                    the body is N zero bytes gzip-encoded (Content-Encoding: gzip),
                                      whatever the content: a small body that inflates to N bytes
  "endless": true                     no Content-Length: the content, then zero bytes until the
                                      client goes away (the connection closes after it)
  "location": "URL"                   a Location line; the status defaults to 302

A Range header "bytes=a-b" (b inclusive, may be absent) is honoured with 206 and Content-Range;
a start beyond the content gets 416. A path with neither content nor rule gets 404.
"""

import argparse
import base64
import functools
import gzip
import json
import os
import socket
import ssl
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.content = {}
        self.rules = {}
        self.hits = {}
        self.served = {}
        self.requests = []

    def reset(self):
        with self.lock:
            self.content.clear()
            self.rules.clear()
            self.hits.clear()
            self.served.clear()
            self.requests.clear()


STATE = State()
STOP = threading.Event()


def lookup(table, target):
    if target in table:
        return target
    bare = target.split("?", 1)[0]
    return bare if bare in table else None


def parse_range(value, size):
    """(first, last) inclusive, or None when the header is not a single byte range."""
    if not value or not value.startswith("bytes="):
        return None
    ranges = value[len("bytes="):].strip()
    if "," in ranges or "-" not in ranges:
        return None
    first, last = ranges.split("-", 1)
    if not first:
        return None
    first = int(first)
    last = int(last) if last else size - 1
    return first, min(last, size - 1)


@functools.lru_cache(maxsize=4)
def gzip_of_zeros(size):
    """A gzip stream of size zero bytes, made piece by piece."""
    encoder = zlib.compressobj(9, zlib.DEFLATED, 31)
    piece = bytes(1 << 20)
    parts = []
    for first in range(0, size, len(piece)):
        parts.append(encoder.compress(piece[:min(len(piece), size - first)]))
    parts.append(encoder.flush())
    return b"".join(parts)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)


class ServingHandler(Handler):
    def handle_any(self):
        body = self.read_body()
        with STATE.lock:
            STATE.requests.append({
                "method": self.command,
                "path": self.path,
                "client_port": self.client_address[1],
                "header_lines": ["%s: %s" % (name, value) for name, value in self.headers.items()],
                "body_base64": base64.b64encode(body).decode("ascii"),
            })
            rule_key = lookup(STATE.rules, self.path)
            content_key = lookup(STATE.content, self.path)
            rule = dict(STATE.rules.get(rule_key, {})) if rule_key else {}
            content = STATE.content.get(content_key) if content_key else None
            count_key = rule_key or content_key or self.path
            hit = STATE.hits.get(count_key, 0)
            STATE.hits[count_key] = hit + 1

        stall = rule.get("stall_seconds", 0)
        if hit >= rule.get("stall_times", hit + 1):
            stall = 0
        if stall and rule.get("stall_before_headers"):
            STOP.wait(stall)
            stall = 0

        if rule_key is None and content is None:
            self.answer(404, b"not found\n")
            return
        headers = []
        if "retry_after" in rule:
            headers.append(("Retry-After", str(rule["retry_after"])))
        if hit < rule.get("fail_times", 0):
            self.answer(rule.get("fail_status", 500), b"injected failure\n", headers)
            return

        content = content if content is not None else b""
        status = rule.get("status", 302 if "location" in rule else 200)
        if "location" in rule:
            headers.append(("Location", rule["location"]))
        wanted = None if rule.get("ignore_range") else parse_range(self.headers.get("Range"), len(content))
        if wanted is not None:
            first, last = wanted
            if first >= len(content) or first > last:
                self.answer(416, b"", [("Content-Range", "bytes */%d" % len(content))])
                return
            content = content[first:last + 1]
            status = rule.get("status", 206)
            headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, len(STATE.content[content_key]))))
        if "content_range" in rule:
            headers = [h for h in headers if h[0] != "Content-Range"] + [("Content-Range", rule["content_range"])]

        counted = rule.get("corrupt_range") in (None, self.headers.get("Range"))
        # The damaged byte as an offset into what this answer serves.
        at = 0
        if "corrupt_at" in rule:
            at = rule["corrupt_at"] - (wanted[0] if wanted is not None else 0)
            counted = counted and 0 <= at < len(content)
        with STATE.lock:
            served = STATE.served.get(count_key, 0)
            if counted:
                STATE.served[count_key] = served + 1
        if content and counted and served < rule.get("corrupt_times", 0):
            content = content[:at] + bytes([content[at] ^ 0xFF]) + content[at + 1:]

        encoding = rule.get("encoding")
        if encoding == "gzip":
            content = gzip.compress(content)
            headers.append(("Content-Encoding", "gzip"))
        elif encoding == "deflate":
            content = zlib.compress(content)
            headers.append(("Content-Encoding", "deflate"))
        if "inflates_to" in rule:
            content = gzip_of_zeros(rule["inflates_to"])
            headers.append(("Content-Encoding", "gzip"))
        content += b"x" * rule.get("append_bytes", 0)

        if rule.get("endless"):
            self.send_endless(status, content, headers)
            return

        cut = rule.get("cut_after")
        if cut is None and not stall:
            self.answer(status, content, headers)
            return

        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(content)))
        self.end_headers()
        point = len(content) if cut is None else min(cut, len(content))
        if stall and "stall_after" in rule:
            point = min(rule["stall_after"], point)
        self.wfile.write(content[:point])
        self.wfile.flush()
        if stall:
            STOP.wait(stall)
        if cut is None:
            self.wfile.write(content[point:])
            return
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def send_endless(self, status, content, headers):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        piece = bytes(65536)
        try:
            self.wfile.write(content)
            while not STOP.is_set():
                self.wfile.write(piece)
        except (OSError, ssl.SSLError):
            pass  # the client went away, as it should

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = handle_any


class ControlHandler(Handler):
    def reply(self, value):
        self.answer(200, json.dumps(value).encode("utf-8"), [("Content-Type", "application/json")])

    def do_GET(self):
        if self.path == "/requests":
            with STATE.lock:
                self.reply(list(STATE.requests))
        else:
            self.answer(404)

    def do_POST(self):
        body = self.read_body()
        if self.path == "/content":
            target = self.headers.get("X-Path", "")
            with STATE.lock:
                STATE.content[target] = body
                STATE.hits.pop(target, None)
                STATE.served.pop(target, None)
            self.reply({"path": target, "size": len(body)})
        elif self.path == "/rule":
            try:
                rule = json.loads(body.decode("utf-8"))
                target = rule.pop("path")
            except (ValueError, KeyError):
                self.answer(400, b"rule needs a JSON object with a path\n")
                return
            with STATE.lock:
                STATE.rules[target] = rule
                STATE.hits.pop(target, None)
                STATE.served.pop(target, None)
            self.reply({"path": target})
        elif self.path == "/reset":
            STATE.reset()
            self.reply({})
        elif self.path == "/shutdown":
            self.reply({})
            STOP.set()
        else:
            self.answer(404)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Refused handshakes and dropped connections are what the tests provoke.
        pass


def main():
    parser = argparse.ArgumentParser(description="Fault-injecting test server (see the module text).")
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--control-cert", help="certificate of the control port (default: --cert)")
    parser.add_argument("--control-key", help="key of the control port (default: --key)")
    parser.add_argument("--port-file")
    parser.add_argument("--config", help="JSON file: {\"rules\": [{\"path\": ...}], \"content\": {path: text}}")
    parser.add_argument("--lifetime", type=float, default=900)
    args = parser.parse_args()

    if args.config:
        with open(args.config, encoding="utf-8") as f:
            config = json.load(f)
        for rule in config.get("rules", []):
            rule = dict(rule)
            STATE.rules[rule.pop("path")] = rule
        for target, text in config.get("content", {}).items():
            STATE.content[target] = text.encode("utf-8")

    serving = Server(("127.0.0.1", 0), ServingHandler)
    control = Server(("127.0.0.1", 0), ControlHandler)
    for server, cert, key in ((serving, args.cert, args.key),
                              (control, args.control_cert or args.cert, args.control_key or args.key)):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        # The handshake happens in the connection's own thread, so a client
        # that stalls in it holds up nobody else.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)

    for server in (serving, control):
        threading.Thread(target=server.serve_forever, daemon=True).start()

    ports = "%d %d" % (serving.server_address[1], control.server_address[1])
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w") as f:
            f.write(ports + "\n")
        os.replace(temporary, args.port_file)
    print("PORTS " + ports, flush=True)

    STOP.wait(args.lifetime)
    # Give the shutdown answer a moment to leave.
    time.sleep(0.1)
    serving.shutdown()
    control.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
