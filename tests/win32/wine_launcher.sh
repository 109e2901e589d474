#!/bin/bash
# The whole launcher under Wine (scripts/wine-test): a release with a
# stand-in setup program is published to the local store with the Linux
# publisher, the Windows launcher is started as a user would start it, its
# windows are answered with key presses as they come, and the run passes
# when the setup program reports that it was started. Then the same
# launcher from a script: a quiet install that opens no window, a release
# key that is not offered, and --wait passing on the setup program's code.
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

# ---- From a script: options instead of windows --------------------------
# The launcher's own windows, by their captions (Wine briefly maps helper
# windows of its own, which do not count).
launcher_windows() {
  xdotool search --onlyvisible --name \
    '^(Download and install launcher|Select Version|Vorta Setup|Setup launcher|Fortschritt / Progress)' 2>/dev/null
}
# The windows of the run above are gone first.
for _ in $(seq 1 50); do [ -z "$(launcher_windows)" ] && break; sleep 0.1; done

# Runs the launcher with options; its exit code in $code, its standard
# output and error in $work/cli.out and $work/cli.err. Fails when one of
# its windows becomes visible while it runs.
run_options() {
  rm -f "$work/marker.txt"
  WINE_RUN_TIMEOUT=300 "$wine_run" "$work/Brelvant-X64-SQL.exe" "$@" >"$work/cli.out" 2>"$work/cli.err" &
  local run=$!
  while kill -0 "$run" 2>/dev/null; do
    if [ -n "$(launcher_windows)" ]; then
      import -window root "$shots/launcher-options-window.png"
      echo "FAIL a window appeared for: $* (screenshot launcher-options-window.png)"
      failed=1
      break
    fi
    sleep 0.1
  done
  wait "$run"
  code=$?
}

run_options --release "$version" --destination "Z:$work/quiet" --language en --quiet
for _ in $(seq 1 100); do [ -s "$work/marker.txt" ] && break; sleep 0.1; done
if [ "$code" = 0 ] && [ -s "$work/marker.txt" ] &&
  grep -qF "quiet\brelvant-x64-sql.$version\setup.exe" "$work/marker.txt"; then
  echo "ok   --quiet installed without a window and started the setup program"
else
  echo "FAIL --quiet: exit $code; $(cat "$work/cli.err") marker: $(cat "$work/marker.txt" 2>/dev/null)"
  failed=1
fi

run_options --release 0.0.1 --destination "Z:$work/quiet" --quiet
if [ "$code" = 2 ] && grep -qF "$version" "$work/cli.err"; then
  echo "ok   a release not offered exits 2 and lists the offered ones"
else
  echo "FAIL --release 0.0.1: exit $code; $(cat "$work/cli.err")"
  failed=1
fi

LAUNCHER_TEST_SETUP_EXIT_CODE=7 run_options --release current --destination "Z:$work/wait" --quiet --wait
# Waited for: the setup program has written its marker before the launcher ended.
if [ "$code" = 7 ] && [ -s "$work/marker.txt" ]; then
  echo "ok   --wait exits with the setup program's code"
else
  echo "FAIL --wait: exit $code instead of 7; $(cat "$work/cli.err")"
  failed=1
fi

run_options --help
if [ "$code" = 0 ] && [ -s "$work/cli.out" ]; then
  echo "ok   --help prints on standard output"
else
  echo "FAIL --help: exit $code; $(cat "$work/cli.out" "$work/cli.err")"
  failed=1
fi
exit $failed
