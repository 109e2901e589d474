#!/bin/bash
# What a Release configure lets into the launcher: the telemetry account key
# only when allowed explicitly and never beside a SAS; a warning when the
# release index is not verified; the index keys compiled in as given.
# Usage: shipped_secrets.sh SOURCE_DIR SCRATCH_DIR
set -u
source=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
failed=0
fail() { echo "FAIL $*"; failed=1; }

configure() {  # name, cache settings...
  local name=$1
  shift
  cmake -S "$source" -B "$scratch/$name" -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_BUILD_TESTS=OFF "$@" \
    >"$scratch/$name.log" 2>&1
}
header() { cat "$scratch/$1/generated/build_settings.h"; }

if configure key -DLAUNCHER_TELEMETRY_KEY=c2VjcmV0; then
  fail "a Release configure took the account key"
elif ! grep -q LAUNCHER_TELEMETRY_SAS "$scratch/key.log"; then
  fail "the refusal does not point at LAUNCHER_TELEMETRY_SAS: $(cat "$scratch/key.log")"
fi

if ! configure allowed -DLAUNCHER_TELEMETRY_KEY=c2VjcmV0 -DLAUNCHER_ALLOW_ACCOUNT_KEY=ON; then
  fail "an allowed account key was refused: $(cat "$scratch/allowed.log")"
else
  header allowed | grep -q 'telemetry_key = "c2VjcmV0"' || fail "the allowed key is not built in"
  grep -q "LAUNCHER_INDEX_KEYS is empty" "$scratch/allowed.log" || fail "no warning about the unverified index"
fi

keys="$source/tests/data/signatures/two_keys.pub"
if ! configure sas -DLAUNCHER_TELEMETRY_KEY=c2VjcmV0 -DLAUNCHER_TELEMETRY_SAS=sv=1 -DLAUNCHER_INDEX_KEYS="$keys"; then
  fail "a key with a SAS was refused: $(cat "$scratch/sas.log")"
else
  header sas | grep -q 'telemetry_key = ""' || fail "the account key is built in beside the SAS"
  [ "$(header sas | grep -c 'BEGIN PUBLIC KEY')" = 2 ] || fail "the index keys are not built in"
  ! grep -q "LAUNCHER_INDEX_KEYS is empty" "$scratch/sas.log" || fail "a warning about verified indexes"
fi

if configure missing -DLAUNCHER_INDEX_KEYS="$scratch/none.pub"; then
  fail "a missing index key file was taken"
fi

[ "$failed" = 0 ] && rm -rf "$scratch" && echo "ok"
exit $failed
