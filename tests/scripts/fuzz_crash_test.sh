#!/usr/bin/env bash
# scripts/fuzz.sh on a target with a planted crash (VELMORA_FUZZ_PLANT_CRASH, honoured by fuzz
# builds only) must exit non-zero, name the crashing input and keep it as a regression seed; the
# same target without the plant runs clean and exits 0. Needs clang: ctest label soak.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
target=fuzz_http_guard

VELMORA_FUZZ_PLANT_CRASH=$target FUZZ_TARGETS=$target FUZZ_SECONDS=20 FUZZ_REGRESSIONS="$tmp/regressions" \
  bash "$root/scripts/fuzz.sh" >"$tmp/planted.log" 2>&1
status=$?
cat "$tmp/planted.log"
fail=0
[ "$status" -ne 0 ] || { echo "FAIL: a crashing target left scripts/fuzz.sh with status 0"; fail=1; }
grep -qE "== $target FAILED on input .*/crash-[0-9a-f]+ " "$tmp/planted.log" ||
  { echo "FAIL: the crashing input's path is not printed"; fail=1; }
ls "$tmp/regressions/$target"/crash-* >/dev/null 2>&1 ||
  { echo "FAIL: the crashing input is not kept under the regressions folder"; fail=1; }

FUZZ_TARGETS=$target FUZZ_SECONDS=5 FUZZ_REGRESSIONS="$tmp/clean" bash "$root/scripts/fuzz.sh" >"$tmp/clean.log" 2>&1
status=$?
[ "$status" -eq 0 ] || { cat "$tmp/clean.log"; echo "FAIL: the target without the plant exits $status"; fail=1; }
[ ! -e "$tmp/clean" ] || { echo "FAIL: a clean run kept inputs"; fail=1; }
exit $fail
