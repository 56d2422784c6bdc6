#!/usr/bin/env bash
# Builds everything with the address and undefined-behaviour sanitizers into build-sanitize/
# (Ninja; ccache when present, so a second run rebuilds only what changed) and runs the unit,
# replay, e2e and program tiers there (soak stays out) with leak
# detection on. Leaks inside Qt and system libraries are suppressed by scripts/lsan.supp, each
# entry with its reason; nothing of this project's code is suppressed. Any report fails the case.
# Extra arguments go to ctest (e.g. -R FleetWeb to run a sample).
# Not part of the README test command: a first sanitized build takes far longer than the normal one.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
SAN_DIR=${SAN_DIR:-build-sanitize}
root=$(pwd)
# An existing build tree is only brought up to date (cmake re-runs itself when a CMakeLists changed).
if [ ! -f "$SAN_DIR/build.ninja" ]; then
  cmake -S . -B "$SAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=ON \
    -DVELMORA_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$SAN_DIR" -j2 ${SANITIZE_TARGETS:+--target $SANITIZE_TARGETS}
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$SAN_DIR" -L 'unit|replay|e2e|program' -LE soak --output-on-failure -j2 --timeout 600 "$@"
