#!/usr/bin/env python3
"""Runs localstore.py commands for test programs that cannot start host tools
themselves (the Windows test executables under Wine).

    localstore_bridge.py --cert server.crt --key server.key --port-file FILE [--lifetime SECONDS]

Listens on 127.0.0.1 on an ephemeral port, HTTPS with the given certificate
(the launcher's transfer layer speaks nothing else), and writes the port to
FILE once listening. Exits by itself after --lifetime seconds (default 3600).

    POST /run   body: {"args": ["put", "container", "blob"], "data_base64": "..."}
                With data_base64, the bytes go to a temporary file whose path
                is appended to args (the FILE argument of "put").
                Answer: 200 with the command's stdout, or 500 with its stderr.
"""
import argparse
import base64
import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "localstore.py")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        try:
            request = json.loads(self.rfile.read(length) or b"{}")
            args = [str(a) for a in request["args"]]
        except (ValueError, KeyError, TypeError) as error:
            self.answer(400, str(error).encode())
            return
        if self.path != "/run":
            self.answer(404, b"")
            return
        with tempfile.TemporaryDirectory() as folder:
            if "data_base64" in request:
                data_file = os.path.join(folder, "data")
                with open(data_file, "wb") as f:
                    f.write(base64.b64decode(request["data_base64"]))
                args.append(data_file)
            done = subprocess.run([sys.executable, TOOL] + args, capture_output=True, timeout=120)
        if done.returncode == 0:
            self.answer(200, done.stdout)
        else:
            self.answer(500, done.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--lifetime", type=float, default=3600)
    options = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    partial = options.port_file + ".part"
    with open(partial, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(partial, options.port_file)
    threading.Timer(options.lifetime, server.shutdown).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
