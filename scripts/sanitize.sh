#!/usr/bin/env bash
# Builds everything with the address and undefined-behaviour sanitizers into build-sanitize/ and
# runs the end-to-end and program tests (ctest labels e2e and program) there. Not part of the
# README test command: a sanitized build takes far longer than the normal one.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
SAN_DIR=${SAN_DIR:-build-sanitize}
cmake -S . -B "$SAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=ON \
  -DVELMORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$SAN_DIR" -j2
# Qt's own leaks at exit are not ours; every other report fails the run.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$SAN_DIR" -L 'e2e|program' --output-on-failure -j2 --timeout 300
