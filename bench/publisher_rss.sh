#!/usr/bin/env bash
# Peak memory of setuppublish publishing a 5 GiB generated setup folder:
# 3 GiB of zeros (sparse files, which share one content) and 2 GiB of
# pseudo-random bytes (incompressible, stored). Prints the peak RSS and the
# elapsed time of each run.
# Usage: bench/publisher_rss.sh [WORK_DIR]      (needs ~12 GiB free there)
#   STORE=1 also uploads the archive in blocks to a private Azurite on spare
#   ports (20310-20312) that keeps its data on disk below WORK_DIR, so the
#   shared local store is not filled.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool="$root/build/linux-local/tools/publisher/setuppublish"
(cd "$root" && cmake --preset linux-local >/dev/null && cmake --build build/linux-local -j2 --target setuppublish >/dev/null)
work=${1:-$(mktemp -d "${TMPDIR:-/tmp}/publisher-rss.XXXXXX")}
trap 'rm -rf "$work/setup" "$work/work" "$work/www"' EXIT
mkdir -p "$work/setup/data"

printf '#!/bin/sh\necho setup\n' >"$work/setup/setup.sh"
chmod 755 "$work/setup/setup.sh"
for i in 1 2 3; do truncate -s 1G "$work/setup/data/zeros$i.bin"; done
for i in 1 2; do
  # head ends the pipe early on purpose; the size check below is what counts.
  { openssl enc -aes-128-ctr -nosalt -pass "pass:bench$i" -in /dev/zero 2>/dev/null || true; } |
    head -c 1073741824 >"$work/setup/data/random$i.bin"
  [ "$(stat -c %s "$work/setup/data/random$i.bin")" = 1073741824 ]
done

measure() {
  local label=$1
  shift
  /usr/bin/time -v "$@" >"$work/$label.out" 2>"$work/$label.time"
  printf '%-8s peak RSS %6s KiB, elapsed %s\n' "$label" \
    "$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/$label.time")" \
    "$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/$label.time")"
}

common=(--product rss-bench --version 1.0.0 --release "RSS bench" --start '*:*:setup.sh' --work-dir "$work/work")
measure folder "$tool" publish "$work/setup" "${common[@]}" --to-folder "$work/www"
ls -l "$work/work"

if [ "${STORE:-0}" = 1 ]; then
  eval "$("$root/scripts/local-store-settings")"
  [ -x "$root/node_modules/.bin/azurite" ] || (cd "$root" && npm ci --no-audit --no-fund --silent)
  "$root/scripts/pki" "$work/pki"
  mkdir -p "$work/store"
  AZURITE_ACCOUNTS="$STORE_ACCOUNT:$STORE_KEY" "$root/node_modules/.bin/azurite" --location "$work/store" \
    --blobHost 127.0.0.1 --blobPort 20310 --queueHost 127.0.0.1 --queuePort 20311 \
    --tableHost 127.0.0.1 --tablePort 20312 --cert "$work/pki/server.crt" --key "$work/pki/server.key" \
    --disableTelemetry --skipApiVersionCheck --loose >"$work/store.log" 2>&1 &
  store_pid=$!
  trap 'kill $store_pid; rm -rf "$work/setup" "$work/work" "$work/www" "$work/store"' EXIT
  for _ in $(seq 1 100); do (exec 3<>/dev/tcp/127.0.0.1/20310) 2>/dev/null && break; sleep 0.1; done
  SETUPPUBLISH_KEY="$STORE_KEY" measure store "$tool" publish "$work/setup" "${common[@]}" --version 1.0.1 \
    --endpoint "https://$STORE_ACCOUNT.blob.localhost:20310" --account "$STORE_ACCOUNT" \
    --ca-file "$work/pki/ca.crt"
fi
