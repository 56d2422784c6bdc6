#!/usr/bin/env bash
# Installs every dependency (Debian 12, as root), builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
velmora_build
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 --timeout 300 -LE soak
