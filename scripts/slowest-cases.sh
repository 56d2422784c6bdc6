#!/usr/bin/env bash
# The ten slowest cases of a ctest log (scripts/test.sh prints them after the run). One awk reads
# the whole log and the sort's whole output, so no stage stops reading early and kills the one
# before it with SIGPIPE; scripts/test.sh ignores this script's status anyway.
set -uo pipefail
log=${1:?usage: slowest-cases.sh CTEST_LOG}
echo "Slowest cases:"
awk 'match($0, /Test +#[0-9]+: [^ ]+/) && $NF == "sec" {
       name = substr($0, RSTART, RLENGTH); sub(/^Test +#[0-9]+: /, "", name); print $(NF-1), name }' "$log" |
  sort -rn | awk 'NR <= 10 { printf "  %7.2f s  %s\n", $1, $2 }'
