#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) and runs
# each for a bounded time: FUZZ_SECONDS per target (default 60), FUZZ_TARGETS (default all).
# Each run starts from the seeds in fuzz/corpus/<target> plus what earlier runs found
# (FUZZ_DIR/corpus/<target>). A target that crashes, leaks, meets undefined behaviour, times out
# (10 s for one input) or runs out of memory (2 GiB) fails the script: its input's path is
# printed and the input is kept in FUZZ_REGRESSIONS/<target>/ (default fuzz/regressions), which
# a normal ctest run replays.
# The script's status is 1 when any target failed or did not build, else 0.
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
root=$(pwd)
FUZZ_DIR=${FUZZ_DIR:-build-fuzz}
FUZZ_REGRESSIONS=${FUZZ_REGRESSIONS:-fuzz/regressions}
seconds=${FUZZ_SECONDS:-60}
mkdir -p "$FUZZ_DIR"
fuzz_dir=$(cd "$FUZZ_DIR" && pwd)
CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${FUZZ_BUILD_TYPE:-RelWithDebInfo}" \
  -DVELMORA_FUZZ=ON -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF \
  -DVELMORA_SKIP_FOLDERS="cloud-sim;station;cli" >/dev/null
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  # Every target fuzz/CMakeLists.txt defines.
  mapfile -t targets < <(sed -nE 's/^ *velmora_fuzz_target\((fuzz_[a-z0-9_]+).*/\1/p' fuzz/CMakeLists.txt)
fi
# Undefined behaviour stops the target like a crash (its report is otherwise printed and passed).
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
failed=0
summary=()
for t in "${targets[@]}"; do
  # One target that does not build does not keep the others from running.
  if ! cmake --build "$FUZZ_DIR" -j2 --target "$t" >"$FUZZ_DIR/build-$t.log" 2>&1; then
    echo "== $t does not build, see $FUZZ_DIR/build-$t.log"
    summary+=("$t: does not build")
    failed=1
    continue
  fi
  if [ "${FUZZ_BUILD_ONLY:-0}" = 1 ]; then
    echo "== $t builds"
    continue
  fi
  work="$fuzz_dir/corpus/$t"
  artifacts="$fuzz_dir/artifacts/$t"
  rm -rf "$artifacts"
  mkdir -p "$work" "$artifacts" "fuzz/corpus/$t"
  log="$FUZZ_DIR/fuzz-$t.log"
  echo "== $t for $seconds s (log: $log)"
  status=0
  # New inputs go into the first folder (the build's), never into the repository's seeds.
  (cd "$work" && "$fuzz_dir/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$artifacts/" "$work" "$root/fuzz/corpus/$t") >"$log" 2>&1 ||
    status=$?
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -1)
  grep -E '^==[0-9]+==ERROR|^SUMMARY|runtime error|deadly signal|Test unit written' "$log" || true
  mapfile -t found < <(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | sort)
  if [ "$status" -ne 0 ] || [ ${#found[@]} -gt 0 ]; then
    failed=1
    mkdir -p "$FUZZ_REGRESSIONS/$t"
    for f in "${found[@]}"; do
      cp "$f" "$FUZZ_REGRESSIONS/$t/"
      echo "== $t FAILED on input $f (kept as $FUZZ_REGRESSIONS/$t/$(basename "$f"))"
    done
    [ ${#found[@]} -gt 0 ] || echo "== $t FAILED with status $status and left no input, see $log"
    summary+=("$t: FAILED after ${runs:-?} executions")
  else
    summary+=("$t: ${runs:-?} executions, clean")
  fi
done
if [ ${#summary[@]} -gt 0 ]; then
  echo "Fuzzing, $seconds s per target:"
  printf '  %s\n' "${summary[@]}"
fi
exit $failed
