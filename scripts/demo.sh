#!/usr/bin/env bash
# The headless station against a simulated vehicle. The station and simulator programs are
# still being built; until they exist this only builds the library.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
velmora_build
echo "velmora-station and velmora-vehicle-sim are not built yet: the library and its tests are." >&2
