#!/usr/bin/env bash
# Compares ranged 4 MiB reads over one kept-alive HTTPS connection with a
# fresh connection per read, against a local nginx on loopback.
# Usage: bench/http_reuse.sh [COUNT]   (default 256; builds build/linux-local first)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-256}
block=$((4 * 1048576))
file_size=$((64 * 1048576))
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "needs nginx (Debian: nginx-light)" >&2; exit 1; }

cmake --preset linux-local >/dev/null
cmake --build "$root/build/linux-local" -j2 --target http_reuse_bench >/dev/null
bench="$root/build/linux-local/bench/http_reuse_bench"

work=$(mktemp -d)
cleanup() {
  [ -s "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
[ -n "${KEEP:-}" ] && trap - EXIT

# nginx workers may run as another user.
chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp"
head -c "$file_size" /dev/urandom >"$work/www/release.zip"
(
  cd "$work"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=bench CA" \
    -keyout ca.key -out ca.crt 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
    -keyout server.key -out server.csr 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >san.ext
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext \
    -out server.crt 2>/dev/null
)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  keepalive_requests 100000;
  sendfile on;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/server.crt;
    ssl_certificate_key $work/server.key;
    root $work/www;
  }
}
CONF
"$nginx" -p "$work" -c "$work/nginx.conf"
for _ in $(seq 1 50); do [ -s "$work/nginx.pid" ] && break; sleep 0.1; done

for mode in reuse fresh; do
  "$bench" localhost "$port" /release.zip "$file_size" "$block" "$count" "$mode" "$work/ca.crt"
done
