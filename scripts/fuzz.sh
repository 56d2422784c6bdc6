#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) and runs
# each for a bounded time. FUZZ_SECONDS per target (default 60). Crashes land in build-fuzz/.
# FUZZ_BUILD_ONLY=1 builds them without running (CI: the clang build cannot break unseen), in
# FUZZ_DIR (default build-fuzz) with FUZZ_BUILD_TYPE (default RelWithDebInfo).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "ok installed"; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang libclang-rt-14-dev
fi
FUZZ_DIR=${FUZZ_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${FUZZ_BUILD_TYPE:-RelWithDebInfo}" \
  -DVELMORA_FUZZ=ON -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF \
  -DVELMORA_SKIP_FOLDERS="cloud-sim;vehicle-sim;station;cli" >/dev/null
targets=(fuzz_frame_cutter fuzz_http_guard fuzz_mqtt_decode fuzz_fleet_view)
[ -f src/automation/GcsCliIpcServer.h ] && targets+=(fuzz_cli_payload)
mkdir -p "$FUZZ_DIR/corpus"
failed=0
for t in "${targets[@]}"; do
  # One target that does not build does not keep the others from running.
  if ! cmake --build "$FUZZ_DIR" -j2 --target "$t" >"$FUZZ_DIR/build-$t.log" 2>&1; then
    echo "== $t does not build, see $FUZZ_DIR/build-$t.log"
    failed=1
    continue
  fi
  if [ "${FUZZ_BUILD_ONLY:-0}" = 1 ]; then
    echo "== $t builds"
    continue
  fi
  mkdir -p "$FUZZ_DIR/corpus/$t"
  echo "== $t for ${FUZZ_SECONDS:-60} s"
  (cd "$FUZZ_DIR" && QT_QPA_PLATFORM=offscreen "./fuzz/$t" -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
    "corpus/$t" 2>&1 | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true)
done
exit $failed
