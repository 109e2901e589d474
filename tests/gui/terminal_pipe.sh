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
expect "end of input cancels" '3\n' cancelled version 3
expect "an invalid line twice cancels" '7\nx\n' cancelled version 3
expect "Yes/No box" 'y\n' yes yesno

# The prompts go to stderr, never into the answers on stdout.
printf '2\ny\n\n' | "$driver" version 2 2>"$home/stderr" >/dev/null
grep -q '^Select Version$' "$home/stderr" || { echo "FAIL: no version prompt on stderr"; failed=1; }

exit $failed
