#!/usr/bin/env bash
# The long cases the default test run leaves out: lossy transfers over many seeds, kills and
# reconnects (ctest label soak). Builds first, like scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
velmora_build
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 --timeout 600 -L soak "$@"
