#!/usr/bin/env bash
# Compares ranged 4 MiB reads over one kept-alive HTTPS connection with a
# fresh connection per read, against a local nginx on loopback.
# Usage: bench/http_reuse.sh [COUNT]   (default 256; builds build/linux-local first)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-256}
block=$((4 * 1048576))
file_size=$((64 * 1048576))

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

mkdir -p "$work/www"
head -c "$file_size" /dev/urandom >"$work/www/release.zip"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$root/bench/serve" "$work" "$work/www" "$port"

for mode in reuse fresh; do
  "$bench" localhost "$port" /release.zip "$file_size" "$block" "$count" "$mode" "$work/ca.crt"
done
