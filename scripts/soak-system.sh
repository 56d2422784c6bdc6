#!/usr/bin/env bash
# The whole system for a while under load and injected faults, then a table of figures against
# their bounds (README, "Soak of the whole system"): scripts/soak_system.py does the run.
#   bash scripts/soak-system.sh [--minutes N] [--sanitize] [--data-dir DIR]
# --minutes N: how long (default 60). --sanitize: the programs of the ASan + UBSan build
# (build-sanitize/, built here as scripts/sanitize.sh builds it), leak detection on.
# The table goes to DIR/soak-report.txt and .json (DIR: default a new folder under /tmp); the
# status is 0 when every bound is met. CI does not run it.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=60
sanitize=0
data_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --sanitize) sanitize=1; shift ;;
    --data-dir) data_dir=$2; shift 2 ;;
    *) echo "usage: soak-system.sh [--minutes N] [--sanitize] [--data-dir DIR]" >&2; exit 2 ;;
  esac
done
source scripts/setup.sh
programs=(velmora-station velmora-vehicle-sim velmora-fleetview)
if [ "$sanitize" = 1 ]; then
  dir=${SAN_DIR:-build-sanitize}
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=ON \
    -DVELMORA_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j2 --target "${programs[@]}"
  flags=(--sanitize)
else
  dir=$BUILD_DIR
  velmora_build --target "${programs[@]}"
  flags=()
fi
[ -n "$data_dir" ] || data_dir=$(mktemp -d /tmp/velmora-soak.XXXXXX)
# Debian's own python3 carries python3-websocket; one found earlier on PATH (pyenv, a venv) may not.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" scripts/soak_system.py --minutes "$minutes" --bin-dir "$dir" --data-dir "$data_dir" "${flags[@]}"
