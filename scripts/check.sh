#!/usr/bin/env bash
# Before a commit, in well under a minute on a built tree: the include direction, the format of
# the C++ files changed since HEAD (or of all of them with --all), and the unit tier of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
command -v clang-format >/dev/null || { echo "check: clang-format is missing (Debian package clang-format)" >&2; exit 2; }

bash scripts/check_includes.sh

if [ "${1:-}" = "--all" ]; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
else
  mapfile -t files < <({ git diff --name-only HEAD -- '*.cpp' '*.h'; git ls-files --others --exclude-standard -- '*.cpp' '*.h'; } | sort -u)
fi
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
if [ ${#existing[@]} -gt 0 ]; then
  clang-format --dry-run --Werror "${existing[@]}"
fi
echo "format: ${#existing[@]} files clean"

# The unit tier: no sockets, no processes, no sleeps.
[ -f "$BUILD_DIR/build.ninja" ] || { echo "check: no build in $BUILD_DIR (bash scripts/test.sh builds one)" >&2; exit 2; }
cmake --build "$BUILD_DIR" -j2 --target test_mavproto test_protocol test_mapkit
ctest --test-dir "$BUILD_DIR" -L unit -j2 --timeout 60 | tail -n 3
