#!/usr/bin/env python3
"""Small client for the local blob and table store, used by tests and the demo.

Talks to the store on loopback over HTTPS with the test CA, authenticating
with the account key (SharedKey for blobs, SharedKeyLite for tables), with
the account and ports of the linux-local preset unless told otherwise.

  localstore.py create-container NAME [--public]
  localstore.py delete-container NAME
  localstore.py put CONTAINER BLOB FILE
  localstore.py create-table NAME
  localstore.py delete-table NAME
  localstore.py query TABLE            # prints the entities as a JSON array

Exit status 0 on success (an existing container or table counts as success
for the create commands), 1 otherwise with the answer on stderr.
"""
import argparse
import base64
import datetime
import hashlib
import hmac
import http.client
import json
import os
import socket
import ssl
import sys
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def preset_settings():
    presets = json.load(open(os.path.join(ROOT, "CMakePresets.json")))["configurePresets"]
    local = next(p for p in presets if p["name"] == "linux-local")["cacheVariables"]
    return {
        "account": local["LAUNCHER_TELEMETRY_ACCOUNT"],
        "key": local["LAUNCHER_TELEMETRY_KEY"],
        "blob_host": local["LAUNCHER_DOWNLOAD_HOST"],
        "blob_port": int(local["LAUNCHER_DOWNLOAD_PORT"]),
        "table_host": local["LAUNCHER_TELEMETRY_HOST"],
        "table_port": int(local["LAUNCHER_TELEMETRY_PORT"]),
        "ca_file": os.path.join(ROOT, "build", "pki", "ca.crt"),
    }


class LoopbackHTTPSConnection(http.client.HTTPSConnection):
    """Connects to 127.0.0.1 but verifies and names the store's host name.

    The system resolver does not resolve *.localhost here."""

    def connect(self):
        sock = socket.create_connection(("127.0.0.1", self.port), self.timeout)
        self.sock = self._context.wrap_socket(sock, server_hostname=self.host)


def now_rfc1123():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%a, %d %b %Y %H:%M:%S GMT")


def sign(key_b64, text):
    digest = hmac.new(base64.b64decode(key_b64), text.encode("utf-8"), hashlib.sha256).digest()
    return base64.b64encode(digest).decode()


class Store:
    def __init__(self, settings):
        self.s = settings
        self.context = ssl.create_default_context(cafile=settings["ca_file"])

    def _send(self, host, port, method, path, headers, body):
        connection = LoopbackHTTPSConnection(host, port, context=self.context, timeout=60)
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, data

    def blob(self, method, path, query=None, headers=None, body=b""):
        headers = dict(headers or {})
        headers["x-ms-date"] = now_rfc1123()
        headers["x-ms-version"] = "2021-08-06"
        length = str(len(body)) if body else ""
        canonical_headers = "".join(
            f"{k.lower()}:{v}\n" for k, v in sorted(headers.items(), key=lambda kv: kv[0].lower())
            if k.lower().startswith("x-ms-"))
        resource = f"/{self.s['account']}{path}"
        for name, value in sorted((query or {}).items()):
            resource += f"\n{name.lower()}:{value}"
        string_to_sign = "\n".join([
            method, "", "", length, "", headers.get("Content-Type", ""), "", "", "", "", "", ""
        ]) + "\n" + canonical_headers + resource
        headers["Authorization"] = f"SharedKey {self.s['account']}:{sign(self.s['key'], string_to_sign)}"
        if body:
            headers["Content-Length"] = length
        full_path = urllib.parse.quote(path) + ("?" + urllib.parse.urlencode(query) if query else "")
        return self._send(self.s["blob_host"], self.s["blob_port"], method, full_path, headers, body)

    def table(self, method, path, body=None, accept="application/json;odata=nometadata"):
        date = now_rfc1123()
        resource = f"/{self.s['account']}{path.split('?')[0]}"
        headers = {
            "x-ms-date": date,
            "x-ms-version": "2019-02-02",
            "Accept": accept,
            "Authorization": f"SharedKeyLite {self.s['account']}:{sign(self.s['key'], date + chr(10) + resource)}",
        }
        data = b""
        if body is not None:
            data = json.dumps(body).encode()
            headers["Content-Type"] = "application/json"
        return self._send(self.s["table_host"], self.s["table_port"], method, path, headers, data)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command")
    parser.add_argument("args", nargs="*")
    parser.add_argument("--public", action="store_true")
    options = parser.parse_args(argv)
    store = Store(preset_settings())
    a = options.args

    if options.command == "create-container":
        headers = {"x-ms-blob-public-access": "blob"} if options.public else {}
        status, data = store.blob("PUT", f"/{a[0]}", {"restype": "container"}, headers)
        ok = status in (201, 409)
    elif options.command == "delete-container":
        status, data = store.blob("DELETE", f"/{a[0]}", {"restype": "container"})
        ok = status in (202, 404)
    elif options.command == "put":
        with open(a[2], "rb") as f:
            body = f.read()
        status, data = store.blob("PUT", f"/{a[0]}/{a[1]}", None,
                                  {"x-ms-blob-type": "BlockBlob", "Content-Type": "application/octet-stream"}, body)
        ok = status == 201
    elif options.command == "create-table":
        status, data = store.table("POST", "/Tables", {"TableName": a[0]})
        ok = status in (201, 204, 409)
    elif options.command == "delete-table":
        status, data = store.table("DELETE", f"/Tables('{a[0]}')")
        ok = status in (204, 404)
    elif options.command == "query":
        status, data = store.table("GET", f"/{a[0]}()")
        ok = status == 200
        if ok:
            print(json.dumps(json.loads(data).get("value", []), ensure_ascii=False, indent=1))
    else:
        parser.error(f"unknown command {options.command}")
    if not ok:
        sys.stderr.write(f"{options.command}: status {status}: {data[:500]!r}\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
