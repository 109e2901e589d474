#!/bin/bash
# Opens each Win32 window of the launcher under Wine on the runner's virtual
# display (scripts/wine-test), checks its caption and controls as the window
# itself reports them (window_probe.exe: "class id text" per control), keeps
# a screenshot in the folder given, and answers it with key presses.
# Usage: wine_windows.sh UI_DRIVER.exe WINDOW_PROBE.exe SCREENSHOT_DIR
set -u
driver=$1
probe=$2
shots=$3
wine_run="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-run"

[ -n "${DISPLAY:-}" ] || { echo "SKIP: no display (scripts/wine-test provides one)"; exit 77; }
for tool in xdotool import timeout; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

mkdir -p "$shots"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

fail() {
  echo "FAIL $*"
  failed=1
}

start() {  # driver arguments
  "$wine_run" "$driver" "$@" >"$work/answer" 2>"$work/stderr" &
  pid=$!
}

# The window with this caption ("*" at the end: starting with it) must show
# a control matching each pattern (extended regular expressions on lines of
# "class id text").
expect_controls() {
  local caption=$1
  shift
  if ! WINE_RUN_TIMEOUT=40 "$wine_run" "$probe" "$caption" 30 >"$work/probe" 2>&1; then
    fail "no window '$caption': $(cat "$work/probe")"
    return
  fi
  tr -d '\r' <"$work/probe" >"$work/controls"
  echo "     $caption: $(grep -c '' "$work/controls") lines"
  for pattern in "$@"; do
    grep -qE -- "$pattern" "$work/controls" || fail "'$caption': nothing matches '$pattern' in: $(cat "$work/controls")"
  done
}

# Waits for a visible window whose X name matches; prints its id.
wait_window() {
  timeout 30 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1
}

. "$(dirname "$0")/../common/x11_windows.sh"

finish() {  # case name, expected answer (a shell pattern)
  if ! timeout 30 tail --pid="$pid" -f /dev/null; then
    kill "$pid" 2>/dev/null
    fail "$1: the window did not close"
    return
  fi
  wait "$pid"
  local got
  got=$(tr -d '\r' <"$work/answer")
  # shellcheck disable=SC2053
  [[ "$got" == $2 ]] && echo "ok   $1 ($got)" || fail "$1: expected '$2', got '$got'; stderr: $(cat "$work/stderr")"
}

start language
expect_controls "Vorta Setup" \
  '^Button 1 OK$' '^Button 2 Abbrechen$' '^ComboBox 1000 ' \
  '^Static -?[0-9]+ Bitte wählen Sie Ihre Vorta Sprache / Please select the language of Vorta:$'
w=$(wait_window "^Vorta Setup$")
shot language
keys "$w" Return
finish "language dialog preselects English for an English interface" "language=2"

start language
w=$(wait_window "^Vorta Setup$")
keys "$w" Escape
finish "language dialog cancelled with Escape" cancelled

start version 3
expect_controls "Select Version" \
  '^Button 1 OK$' '^Button 2 Abbrechen$' '^ComboBox 1000 ' '^Edit [0-9]+ Release 2\.9 \(current\)$' \
  '^Button 1002 Nur Download/Download only$' '^Static -?[0-9]+ Version:$' '^Static -?[0-9]+ Ziel/Destination:$' \
  '^Edit 1003 .*Downloads\\$' '^Button 1004 \.\.\.$'
w=$(wait_window "^Select Version$")
shot version
keys "$w" Return
finish "version dialog: OK takes the first release" 'key=key-1 download_only=0 destination=*Downloads\'

start version 1
w=$(wait_window "^Select Version$")
shot version-locked
keys "$w" Escape
finish "version dialog with one release cancelled" cancelled

start yesno
expect_controls "Download and install launcher" \
  '^Button 6 &?Yes$' '^Button 7 &?No$' '^Static -?[0-9]+ .*Would you like to navigate to this link\?'
w=$(wait_window "^Download and install launcher$")
shot yes-no
keys "$w" Return
finish "Yes/No box: Yes is the default" yes

start yesno
w=$(wait_window "^Download and install launcher$")
keys "$w" Tab Return
finish "Yes/No box: No" no

start message
expect_controls "Setup launcher" '^Button [0-9]+ OK$' '^Static -?[0-9]+ Hash mismatch for downloaded file!$'
w=$(wait_window "^Setup launcher$")
shot message
keys "$w" Return
finish "message box" closed

# Ten units, three steps 600 ms apart: the caption carries an estimate.
start progress 10 3 4 600
expect_controls "Fortschritt / Progress*" '^msctls_progress32 1001 '
w=$(wait_window "^Fortschritt / Progress")
shot progress
title=$(xdotool getwindowname "$w")
case "$title" in
  "Fortschritt / Progress (download)"*) echo "ok   progress caption: $title" ;;
  *) fail "progress caption: $title" ;;
esac
keys "$w" Escape
finish "progress window ignores Escape and closes with its stage" done

exit $failed
