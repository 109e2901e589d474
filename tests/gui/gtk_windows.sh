#!/bin/bash
# Opens each GTK window of the launcher on a virtual X display, takes a
# screenshot of it (into the folder given, for a person to look at), and
# answers it with key presses as a user would.
set -u
driver=$1
shots=$2

for tool in xvfb-run xdotool import timeout; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
if [ -z "${GTK_WINDOWS_ON_DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" env GTK_WINDOWS_ON_DISPLAY=1 "$0" "$@"
fi

mkdir -p "$shots"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" TMPDIR="$home" LANG=C.UTF-8 GTK_A11Y=none NO_AT_BRIDGE=1
unset SETUPLAUNCHER_UI LC_ALL LC_MESSAGES
failed=0

fail() {
  echo "FAIL $*"
  failed=1
}

# Waits for a visible window with exactly this title; prints its id.
wait_window() {
  timeout 20 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1
}

start() {  # driver arguments
  "$driver" "$@" >"$home/answer" 2>"$home/stderr" &
  pid=$!
}

. "$(dirname "$0")/../common/x11_windows.sh"

finish() {  # case name, expected answer
  if ! timeout 20 tail --pid="$pid" -f /dev/null; then
    kill "$pid" 2>/dev/null
    fail "$1: the window did not close"
    return
  fi
  wait "$pid"
  local got
  got=$(cat "$home/answer")
  [ "$got" = "$2" ] && echo "ok   $1" || fail "$1: expected '$2', got '$got'; stderr: $(cat "$home/stderr")"
}

mkdir -p "$home/Downloads"

# Version: the second release, download only, the default destination.
start version 3
w=$(wait_window "Select Version")
[ -n "$w" ] || fail "no version dialog"
shot version
keys "$w" Tab Tab Down Tab Tab space Tab Tab Return
finish "version dialog: second release, download only" "key=key-2 download_only=1 destination=$home/Downloads/"

# Text typed into the list's field selects no entry: OK takes the preselected one.
start version 3
w=$(wait_window "Select Version")
keys "$w" Tab Tab Down
xdotool type --delay 20 "9.9"
keys "$w" Return
finish "version dialog: typed text yields the preselected release" \
  "key=key-1 download_only=0 destination=$home/Downloads/"

# One release: the list is locked, OK takes it.
start version 1
w=$(wait_window "Select Version")
shot version-locked
keys "$w" Return
finish "version dialog with one release" "key=key-1 download_only=0 destination=$home/Downloads/"

# The folder picker; cancelling it clears the destination, and OK is then
# refused until a folder is chosen.
start version 2
w=$(wait_window "Select Version")
keys "$w" Tab Tab Tab Tab Tab space
p=$(wait_window "Select Download Folder")
[ -n "$p" ] || fail "no folder picker with the English title"
shot folder-picker
keys "$p" Escape
sleep 0.3
shot version-without-destination
keys "$w" shift+Tab shift+Tab shift+Tab Return
sleep 0.5
[ -n "$(xdotool search --onlyvisible --name '^Select Version$')" ] || fail "OK was accepted without a destination"
keys "$w" Escape
finish "version dialog: OK refused without destination, then cancelled" cancelled

# A folder chosen in the picker becomes the destination, with a separator.
mkdir -p "$home/Setups"
start version 2
w=$(wait_window "Select Version")
keys "$w" Tab Tab Tab Tab Tab space
p=$(wait_window "Select Download Folder")
keys "$p" ctrl+l
xdotool type --delay 20 "$home/Setups/"
sleep 0.3
keys "$p" Return
sleep 0.5
[ -n "$(xdotool search --onlyvisible --name '^Select Download Folder$')" ] && keys "$p" Return
sleep 0.3
shot version-with-picked-folder
keys "$w" shift+Tab shift+Tab shift+Tab Return
finish "version dialog: folder from the picker" "key=key-1 download_only=0 destination=$home/Setups/"

# German interface: German picker title and Deutsch preselected.
LANG=de_DE.UTF-8 start version 2
w=$(wait_window "Select Version")
keys "$w" Tab Tab Tab Tab Tab space
p=$(wait_window "Download Ordner auswählen")
[ -n "$p" ] || fail "no folder picker with the German title"
keys "$p" Escape
keys "$w" Escape
finish "version dialog cancelled with Escape" cancelled

LANG=de_DE.UTF-8 start language
w=$(wait_window "Vorta Setup")
keys "$w" Return
finish "language dialog preselects Deutsch for a German interface" language=1

start language
w=$(wait_window "Vorta Setup")
[ -n "$w" ] || fail "no language dialog"
shot language
keys "$w" Return
finish "language dialog preselects English otherwise" language=2

start language
w=$(wait_window "Vorta Setup")
keys "$w" Tab Tab Up Tab Return
finish "language dialog: the other entry" language=1

start language
w=$(wait_window "Vorta Setup")
keys "$w" Escape
finish "language dialog cancelled with Escape" cancelled

start yesno
w=$(wait_window "Download and install launcher")
[ -n "$w" ] || fail "no Yes/No box"
shot yes-no
keys "$w" Return
finish "Yes/No box: Yes is the default" yes

start yesno
w=$(wait_window "Download and install launcher")
keys "$w" Tab Return
finish "Yes/No box: No" no

start message
w=$(wait_window "Setup launcher")
[ -n "$w" ] || fail "no message box"
shot message
keys "$w" Return
finish "message box" closed

# Progress: ten units, three steps 600 ms apart give an estimate in the caption.
start progress 10 3 3 600
w=$(wait_window "Fortschritt / Progress.*")
[ -n "$w" ] || fail "no progress window"
sleep 1.5
shot progress
title=$(xdotool getwindowname "$w")
case "$title" in
  "Fortschritt / Progress (download) (ETA 00:00:"??")") echo "ok   progress caption: $title" ;;
  *) fail "progress caption: $title" ;;
esac
keys "$w" Escape
finish "progress window ignores Escape and closes with its stage" done

exit $failed
