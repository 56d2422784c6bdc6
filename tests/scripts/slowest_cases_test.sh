#!/usr/bin/env bash
# scripts/test.sh's summary step on a saved ctest log of 400 cases: it must exit 0 every time
# (an early-closing stage used to make it die of SIGPIPE, 141, now and then) and list the ten
# slowest cases, slowest first, failed ones included.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
log=$tmp/ctest.log
{
  echo "Test project /tmp/build"
  for i in $(seq 1 400); do
    # Case 137 is the slowest (99.50 s), then 1..9 at 90+i; every other case is under 10 s.
    if [ "$i" -eq 137 ]; then t=99.50; elif [ "$i" -le 9 ]; then t=$((90 + i)).00; else t=$((i % 10)).$((i % 97)); fi
    result="   Passed"
    [ "$i" -eq 5 ] && result="***Failed"
    printf '%3d/400 Test #%d: SomeSuiteWithALongName.CaseNumber%03dDoesSomethingWorthAFewWords ...%s  %6s sec\n' \
      "$i" "$i" "$i" "$result" "$t"
  done
  echo "99% tests passed, 1 tests failed out of 400"
} >"$log"
expected=$(printf '  %7.2f s  %s\n' 99.50 SomeSuiteWithALongName.CaseNumber137DoesSomethingWorthAFewWords
  for i in 9 8 7 6 5 4 3 2 1; do
    printf '  %7.2f s  SomeSuiteWithALongName.CaseNumber%03dDoesSomethingWorthAFewWords\n' $((90 + i)) "$i"
  done)
fails=0
for run in $(seq 1 60); do
  out=$(bash "$root/scripts/slowest-cases.sh" "$log")
  status=$?
  if [ "$status" -ne 0 ]; then
    echo "run $run: exit status $status"
    fails=$((fails + 1))
  elif [ "$out" != "Slowest cases:"$'\n'"$expected" ]; then
    echo "run $run: wrong summary:"
    echo "$out"
    fails=$((fails + 1))
  fi
done
[ "$fails" -eq 0 ] || { echo "$fails of 60 runs failed"; exit 1; }
echo "60 runs: status 0 and the ten slowest cases"
