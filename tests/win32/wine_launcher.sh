#!/bin/bash
# The whole launcher under Wine (scripts/wine-test): a release with a
# stand-in setup program is published to the local store with the Linux
# publisher, the Windows launcher is started as a user would start it, its
# windows are answered with key presses as they come, and the run passes
# when the setup program reports that it was started.
# Usage: wine_launcher.sh SETUPLAUNCHER.exe SETUP_MARKER.exe SCREENSHOT_DIR
set -u
launcher=$1
setup_program=$2
shots=$3
root="$(cd "$(dirname "$0")/../.." && pwd)"
wine_run="$root/scripts/wine-run"
publisher="$root/build/linux-local/tools/publisher/setuppublish"

[ -n "${DISPLAY:-}" ] && [ -n "${WINEPREFIX:-}" ] || { echo "SKIP: needs scripts/wine-test's display and prefix"; exit 77; }
[ -x "$publisher" ] || { echo "SKIP: $publisher is not built"; exit 77; }
for tool in xdotool import timeout; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
eval "$("$root/scripts/local-store-settings")"

mkdir -p "$shots"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A release whose start command is the stand-in, for every language and bitness.
version="4.2.$((RANDOM % 900 + 100))"
mkdir -p "$work/release/data"
cp "$setup_program" "$work/release/setup.exe"
echo "payload" >"$work/release/data/readme.txt"
# Signed when the launcher carries the index key (the preset it inherits).
signing=()
[ -n "$INDEX_SIGNING_KEY" ] && signing=(--sign-key "$INDEX_SIGNING_KEY")
if ! SETUPPUBLISH_KEY="$STORE_KEY" "$publisher" publish "$work/release" --product brelvant-x64-sql \
  --version "$version" --release "Brelvant $version" --current --start '*:*:setup.exe' "${signing[@]}" \
  --endpoint "https://$STORE_BLOB_HOST:$STORE_BLOB_PORT" --account "$STORE_ACCOUNT" \
  --ca-file "${LAUNCHER_TEST_STORE_CA:-$root/build/pki/ca.crt}" >"$work/publish.log" 2>&1; then
  echo "FAIL publishing the release: $(cat "$work/publish.log")"
  exit 1
fi

# The built-in product decides; the file name is what a user downloads.
cp "$launcher" "$work/Brelvant-X64-SQL.exe"
export LAUNCHER_TEST_SETUP_MARKER="Z:$work/marker.txt"
WINE_RUN_TIMEOUT=300 "$wine_run" "$work/Brelvant-X64-SQL.exe" >"$work/launcher.out" 2>&1 &
pid=$!

. "$(dirname "$0")/../common/x11_windows.sh"

visible() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
# Answers a window once: keys pressed again while it closes would reach the next one.
answer() {  # window id, keys...
  local window=$1
  keys "$@"
  for _ in $(seq 1 50); do
    xdotool search --onlyvisible --name '.' 2>/dev/null | grep -qx "$window" || return 0
    sleep 0.1
  done
}

failed=0
seen=""
for _ in $(seq 1 600); do
  kill -0 "$pid" 2>/dev/null || break
  if w=$(visible "^Download and install launcher$") && [ -n "$w" ]; then
    seen="$seen matrix"
    answer "$w" Tab Return  # No: the product matrix is not opened
  elif w=$(visible "^Select Version$") && [ -n "$w" ]; then
    seen="$seen version"
    import -window root "$shots/launcher-version.png"
    answer "$w" Return
  elif w=$(visible "^Vorta Setup$") && [ -n "$w" ]; then
    seen="$seen language"
    answer "$w" Return
  elif w=$(visible "^Setup launcher$") && [ -n "$w" ]; then
    import -window root "$shots/launcher-failure.png"
    echo "FAIL the launcher reported a failure (screenshot launcher-failure.png)"
    failed=1
    answer "$w" Return
  elif w=$(visible "^Fortschritt / Progress") && [ -n "$w" ] && [ ! -e "$shots/launcher-progress.png" ]; then
    import -window root "$shots/launcher-progress.png"
  fi
  sleep 0.5
done
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid"
  echo "FAIL the launcher did not end; windows answered:$seen"
  failed=1
fi
for _ in $(seq 1 100); do [ -s "$work/marker.txt" ] && break; sleep 0.1; done
echo "windows answered:$seen"
if [ -s "$work/marker.txt" ]; then
  echo "ok   the setup program was started:"
  sed 's/^/     /' "$work/marker.txt"
  grep -qF "Downloads\\brelvant-x64-sql.$version\\setup.exe" "$work/marker.txt" ||
    { echo "FAIL not the setup program of the release in the Downloads folder"; failed=1; }
else
  echo "FAIL the setup program was not started; launcher output: $(cat "$work/launcher.out")"
  failed=1
fi
exit $failed
