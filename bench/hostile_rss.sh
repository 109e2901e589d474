#!/usr/bin/env bash
# Peak memory of the download stage against a server that sends what it
# should not (the fault server, tests/tools/faultserver.py): bodies ten
# times too long, endless bodies and a gzip bomb, for the release index, the
# blockhash list and the blocks, next to a well-behaved run. Every run must
# stay under block size x 3 + 40 MiB; the hostile ones must fail.
# Usage: bench/hostile_rss.sh [BLOCK_MIB] [BLOCKS]   (default 4 and 16)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
block=$((${1:-4} * 1048576))
blocks=${2:-16}
for tool in python3 openssl curl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench/hostile_rss.sh: $tool is missing" >&2; exit 2; }
done

cmake --preset linux-local >/dev/null
cmake --build "$root/build/linux-local" -j2 --target download_stage_bench >/dev/null
bench="$root/build/linux-local/bench/download_stage_bench"

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/pki" "$work/www" "$work/tmp"
sh "$root/tests/tools/faultserver-pki" "$work/pki" >/dev/null 2>&1
python3 "$root/tests/tools/faultserver.py" --cert "$work/pki/trusted.crt" --key "$work/pki/server.key" \
  --port-file "$work/ports" --lifetime 3600 >/dev/null 2>&1 &
server=$!
for _ in $(seq 1 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
read -r port control <"$work/ports"
python3 "$root/bench/random_release.py" "$work/www" $((blocks * block)) "$block"

ask() { curl -s --fail --noproxy '*' --cacert "$work/pki/ca.crt" "https://127.0.0.1:$control$1" "${@:2}" >/dev/null; }
serve_release() {
  ask /reset -X POST
  for object in bench-v2/index bench-c/setup.md5 bench-c/setup.zip; do
    ask /content -H "X-Path: /$object" --data-binary "@$work/www/$object"
  done
}

limit_mib=$((block * 3 / 1048576 + 40))
printf '| what the server sends | result | peak RSS |\n|---|---|---:|\n'
while IFS='|' read -r what rule; do
  serve_release
  [ -z "$rule" ] || ask /rule --data-binary "$rule"
  rm -rf "$work/dest" && mkdir -p "$work/dest"
  result=ok
  TMPDIR="$work/tmp" /usr/bin/time -v -o "$work/time.txt" \
    "$bench" localhost "$port" bench "$work/dest/" "$work/pki/ca.crt" >/dev/null 2>"$work/stderr" ||
    result=$(sed -n 's/^failed: //p' "$work/stderr" | head -n1)
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  printf '| %s | %s | %s MiB |\n' "$what" "$result" "$(echo "scale=1; $rss / 1024" | bc)"
done <<RUNS
well-behaved|
archive: the whole object for every range (200, ${blocks} blocks)|{"path": "/bench-c/setup.zip", "ignore_range": true}
archive: ten times each block (206 with its Content-Range, 9 blocks more)|{"path": "/bench-c/setup.zip", "append_bytes": $((9 * block))}
archive: an endless body (206 with its Content-Range)|{"path": "/bench-c/setup.zip", "endless": true}
index: an endless body|{"path": "/bench-v2/index", "endless": true}
index: a gzip bomb (1 GiB of zeros)|{"path": "/bench-v2/index", "inflates_to": 1073741824}
blockhash list: an endless body|{"path": "/bench-c/setup.md5", "endless": true}
RUNS
echo
echo "limit: block size x 3 + 40 MiB = $limit_mib MiB"
