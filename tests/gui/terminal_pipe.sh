#!/bin/sh
# Drives the terminal protocol of the real user interface through a pipe,
# with a display present or not.
set -u
driver=$1
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" SETUPLAUNCHER_UI=terminal TMPDIR="$home"
failed=0

expect() {  # name, input, expected answer line, driver arguments...
  name=$1 input=$2 expected=$3
  shift 3
  got=$(printf "$input" | "$driver" "$@" 2>"$home/stderr")
  if [ "$got" != "$expected" ]; then
    echo "FAIL $name: expected '$expected', got '$got'; prompts were:"
    cat "$home/stderr"
    failed=1
  else
    echo "ok   $name"
  fi
}

expect "second release, download only, default destination" '2\ny\n\n' \
  "key=key-2 download_only=1 destination=$home/Downloads/" version 3
expect "everything preselected" '\n\n\n' "key=key-1 download_only=0 destination=$home/Downloads/" version 3
expect "typed destination gets its separator" '1\nn\n/srv/setups\n' \
  "key=key-1 download_only=0 destination=/srv/setups/" version 2
expect "end of input cancels" '3\n' cancelled version 3
expect "an invalid line twice cancels" '7\nx\n' cancelled version 3
expect "an invalid line once is asked again" '7\n2\n\n\n' "key=key-2 download_only=0 destination=$home/Downloads/" \
  version 3
expect "language by number" '1\n' language=1 language
expect "language cancelled at end of input" '' cancelled language
expect "yes" 'y\n' yes yesno
expect "no answer is no" '' no yesno
expect "message needs no input" '' closed message

# The prompts go to stderr, never into the answers on stdout.
printf '2\ny\n\n' | "$driver" version 2 2>"$home/stderr" >/dev/null
grep -q '^Select Version$' "$home/stderr" || { echo "FAIL: no version prompt on stderr"; failed=1; }

# A plain progress line per tenth when stderr is no terminal.
"$driver" progress 20 20 0 2>"$home/stderr" >/dev/null
lines=$(grep -c '^Fortschritt / Progress (download) \[' "$home/stderr")
[ "$lines" -eq 11 ] || { echo "FAIL: expected 11 progress lines, got $lines:"; cat "$home/stderr"; failed=1; }
exit $failed
