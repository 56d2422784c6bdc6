#!/usr/bin/env bash
# Installs every dependency (Debian 12, as root), builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
velmora_build
status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 --timeout 300 -LE soak | tee "$BUILD_DIR/ctest-default.log" ||
  status=$?
# The ten slowest cases, to keep the run within the inner loop's budget.
echo "Slowest cases:"
grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$BUILD_DIR/ctest-default.log" |
  sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec$/\2 \1/' | sort -rn | head -10 | awk '{printf "  %7.2f s  %s\n", $1, $2}'
exit $status
