#!/usr/bin/env bash
# Installs every dependency (Debian 12, as root), builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
velmora_build
# The script's status is ctest's: tee cannot change it, and the summary after it cannot either.
set +e
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 --timeout 300 -LE soak | tee "$BUILD_DIR/ctest-default.log"
status=${PIPESTATUS[0]}
set -e
# The ten slowest cases, to keep the run within the inner loop's budget.
bash scripts/slowest-cases.sh "$BUILD_DIR/ctest-default.log" || true
exit "$status"
