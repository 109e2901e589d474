#!/usr/bin/env bash
# The download stage of a 1 GiB archive in 4 MiB blocks from a local nginx
# over HTTPS, against `curl -o` plus `sha256sum` of the same file, with the
# stage's peak memory. Also times one SHA-256 pass over the archive: the read
# the stage saves by hashing the blocks as it keeps and appends them.
# Usage: bench/download_stage.sh [SIZE_MIB] [BLOCK_MIB]   (default 1024 and 4)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-1024}
block=$((${2:-4} * 1048576))

cmake --preset linux-local >/dev/null
cmake --build "$root/build/linux-local" -j2 --target download_stage_bench >/dev/null
bench="$root/build/linux-local/bench/download_stage_bench"

work=$(mktemp -d)
cleanup() {
  [ -s "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp" "$work/curl" "$work/launcher"
python3 "$root/bench/random_release.py" "$work/www" $((size_mib * 1048576)) "$block"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$root/bench/serve" "$work" "$work/www" "$port"

seconds() { python3 -c 'import time; print(f"{time.monotonic():.3f}")'; }

# Each phase starts with the earlier writes on disk, so that none pays for another's.
sync
t0=$(seconds)
curl -s --cacert "$work/ca.crt" -o "$work/curl/setup.zip" "https://localhost:$port/bench-c/setup.zip"
sha256sum "$work/curl/setup.zip" >/dev/null
t1=$(seconds)
rm -f "$work/curl/setup.zip"
sync

TMPDIR="$work/tmp" /usr/bin/time -v -o "$work/time.txt" \
  "$bench" localhost "$port" bench "$work/launcher/" "$work/ca.crt"
sync
t3=$(seconds)
sha256sum "$work/launcher/setup.zip" >/dev/null
t4=$(seconds)

python3 - "$t0" "$t1" "$t3" "$t3" "$t4" "$work/time.txt" "$size_mib" <<'PY'
import re, sys
t0, t1, t2, t3, t4 = map(float, sys.argv[1:6])
text = open(sys.argv[6]).read()
wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", text)
stage = (int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3)))
rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
reference = t1 - t0
print(f"curl -o + sha256sum : {reference:.2f} s")
print(f"download stage      : {stage:.2f} s   ratio {stage / reference:.2f}")
print(f"peak RSS            : {rss / 1024:.1f} MiB for {sys.argv[7]} MiB")
print(f"one SHA-256 pass    : {t4 - t3:.2f} s (saved by hashing while appending)")
PY
