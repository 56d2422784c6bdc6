#!/usr/bin/env bash
# The Debian package as a site gets it (README, "Operations"):
#   bash scripts/package-test.sh [--build-dir DIR] [--quick]
# 1. builds DIR (default build/) and makes the package there with `cpack -G DEB`;
# 2. lintian: no errors (skipped with --quick);
# 3. unpacks it with dpkg-deb -x into a scratch root and checks the units with systemd-analyze
#    verify;
# 4. runs the unpacked station from the packaged example configuration (the command line moves
#    its data, endpoint and ports into the scratch folder: it wins over the file) against the
#    simulator: /readyz ready, /healthz live, the package's velmora-cli sees the vehicles,
#    /metrics passes promtool check metrics (installed when missing; with --quick only when
#    present), SIGTERM ends it (the time is printed beside its goal, 5 s);
# 5. installs the package on this machine (apt-get install ./velmora_*.deb; not with --quick) and,
#    where systemd is the init, starts the service, waits for /readyz, asks velmora-cli as the
#    velmora user, and stops it with systemctl, timed. Elsewhere it says what it could not check.
# The ctest case Package.UnpackedStationRuns runs it with --quick.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build
quick=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    *) echo "usage: package-test.sh [--build-dir DIR] [--quick]" >&2; exit 2 ;;
  esac
done
build_dir=$(cd "$build_dir" 2>/dev/null && pwd || echo "$build_dir")
say() { printf '== %s\n' "$*"; }
fail() { printf 'package-test: FAILED: %s\n' "$*" >&2; exit 1; }

if [ "$quick" = 0 ]; then
  BUILD_DIR=$build_dir
  source scripts/setup.sh
  velmora_build
fi
for tool in cpack dpkg-deb systemd-analyze python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs what the build needs)"
done

say "cpack -G DEB in $build_dir"
rm -f "$build_dir"/package/velmora_*.deb
(cd "$build_dir" && cpack -G DEB >"$build_dir/package-cpack.log" 2>&1) || { tail -20 "$build_dir/package-cpack.log"; fail "cpack"; }
deb=$(ls "$build_dir"/package/velmora_*.deb)
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"

if [ "$quick" = 0 ]; then
  say "lintian"
  command -v lintian >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lintian >/dev/null
  lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" || fail "lintian reports errors"
fi

scratch=$(mktemp -d /tmp/velmora-package.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
root=$scratch/root
say "dpkg-deb -x into $root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/velmora-station usr/bin/velmora-cli usr/bin/velmora-fleetview etc/velmora/station.conf \
  etc/velmora/fleetview.conf lib/systemd/system/velmora-station.service lib/systemd/system/velmora-fleetview.service \
  usr/share/man/man1/velmora-station.1.gz usr/share/bash-completion/completions/velmora-cli; do
  [ -e "$root/$f" ] || fail "the package has no /$f"
done
dpkg-deb -e "$deb" "$scratch/control"
grep -qx /etc/velmora/station.conf "$scratch/control/conffiles" || fail "station.conf is not a conffile"

say "systemd-analyze verify"
# Verified in a root of their own: the unpacked package (the programs the units start, their man
# pages) beside a copy of this machine's units (the targets they need) and /bin/kill (ExecReload).
# Any warning (an unknown key, a missing command) fails as an error does.
verify_root=$scratch/verify
cp -a "$root" "$verify_root"
cp -an /lib/systemd/system/. "$verify_root/lib/systemd/system/"
mkdir -p "$verify_root/bin" && cp /bin/kill "$verify_root/bin/kill"
(cd "$verify_root" && MANPATH="$verify_root/usr/share/man" systemd-analyze verify --root="$verify_root" \
  lib/systemd/system/velmora-station.service lib/systemd/system/velmora-fleetview.service) >"$scratch/verify.log" 2>&1 ||
  { cat "$scratch/verify.log"; fail "systemd-analyze verify"; }
if [ -s "$scratch/verify.log" ]; then cat "$scratch/verify.log"; fail "systemd-analyze verify warns"; fi
echo "both units verified"

free_port() { python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET, int(sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"; }
http_get() { python3 - "$1" <<'PY'
import sys, urllib.request, urllib.error
try:
    r = urllib.request.urlopen(sys.argv[1], timeout=5)
    print(r.status); sys.stdout.write(r.read().decode())
except urllib.error.HTTPError as e:
    print(e.code); sys.stdout.write(e.read().decode())
except OSError as e:
    print(0); print(e)
PY
}
wait_for() {  # wait_for SECONDS COMMAND...: until it succeeds
  local until=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $until ] || return 1; sleep 0.2; done
}

say "the unpacked station from the packaged configuration, against the simulator"
export LD_LIBRARY_PATH="$root/usr/lib:$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export QT_QPA_PLATFORM=offscreen
station_port=$(free_port 2)
mkdir -p "$scratch/endpoint" "$scratch/data"
chmod 700 "$scratch/endpoint"
"$build_dir/tools/vehicle-sim/velmora-vehicle-sim" --udp "127.0.0.1:$station_port" --count 2 \
  >"$scratch/sim.out" 2>"$scratch/sim.log" &
pids+=($!)
"$root/usr/bin/velmora-station" --config "$root/etc/velmora/station.conf" --print-config >"$scratch/print-config.txt"
grep -q "^udp = \"14550\" .*# $root/etc/velmora/station.conf:" "$scratch/print-config.txt" ||
  fail "--print-config does not show the file's udp line: $(cat "$scratch/print-config.txt")"
"$root/usr/bin/velmora-station" --config "$root/etc/velmora/station.conf" --data-dir "$scratch/data" \
  --endpoint-dir "$scratch/endpoint" --udp "$station_port" --http 0 >"$scratch/station.out" 2>"$scratch/station.err" &
station_pid=$!
pids+=($station_pid)
wait_for 15 grep -q '^fleet page: ' "$scratch/station.out" || fail "no fleet page: $(tail -5 "$scratch/station.err")"
page=$(sed -n 's/^fleet page: //p' "$scratch/station.out" | head -1)
ready() { [ "$(http_get "${page}readyz" | sed -n 1p)" = 200 ]; }
wait_for 15 ready || fail "/readyz never said ready: $(http_get "${page}readyz")"
[ "$(http_get "${page}healthz" | sed -n 1p)" = 200 ] || fail "/healthz"
cli=("$root/usr/bin/velmora-cli" --endpoint "$scratch/endpoint/Tarnwick_CliIpc_v1")
two_vehicles() { "${cli[@]}" --json vehicle.list 2>/dev/null | grep -q '"count": 2'; }
wait_for 15 two_vehicles || fail "the package's velmora-cli does not list the simulator's two vehicles"
http_get "${page}metrics" | tail -n +2 >"$scratch/metrics.txt"
grep -q '^velmora_vehicles_alive 2$' "$scratch/metrics.txt" || fail "/metrics: velmora_vehicles_alive is not 2"
if ! command -v promtool >/dev/null && [ "$quick" = 0 ]; then
  say "installing prometheus for promtool"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends prometheus >/dev/null
fi
if command -v promtool >/dev/null; then
  promtool check metrics <"$scratch/metrics.txt" || fail "promtool check metrics"
  echo "promtool check metrics: no problems"
else
  echo "promtool is not installed here: /metrics not linted (scripts/package-test.sh without --quick installs it)"
fi
start=$(date +%s.%N)
kill -TERM "$station_pid"
wait_for 10 bash -c "! kill -0 $station_pid 2>/dev/null" || fail "the station did not stop within 10 s of SIGTERM"
wait "$station_pid" && rc=0 || rc=$?
stop_s=$(python3 -c "import sys; print('%.2f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$start" "$(date +%s.%N)")
echo "stop after SIGTERM: $stop_s s (goal: under 5 s), exit status $rc"
[ "$rc" = 0 ] || fail "the station exited $rc after SIGTERM"
grep -q 'CLI IPC server stopped' "$scratch/station.err" || fail "the station's log has no orderly stop"

if [ "$quick" = 1 ]; then
  say "quick: the package was not installed"
  exit 0
fi

say "installing $(basename "$deb") on this machine"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null || fail "apt-get install"
getent passwd velmora >/dev/null || fail "no user velmora after the install"
[ "$(stat -c %U /var/lib/velmora)" = velmora ] || fail "/var/lib/velmora is not velmora's"
if [ "$(ps -p 1 -o comm=)" != systemd ] || [ ! -d /run/systemd/system ]; then
  echo "systemd is not the init here (pid 1 is $(ps -p 1 -o comm=)): the service was installed but not started;"
  echo "starting it, /readyz, the CLI as velmora and the timed systemctl stop were NOT checked on this machine."
  exit 0
fi
say "the service under systemd"
systemctl restart velmora-station.service
http_port=$(sed -n 's/^http *= *\([0-9]*\).*/\1/p' /etc/velmora/station.conf | head -1)
sys_ready() { [ "$(http_get "http://127.0.0.1:$http_port/readyz" | sed -n 1p)" = 200 ]; }
wait_for 30 sys_ready || fail "the service's /readyz never said ready"
runuser -u velmora -- velmora-cli system.ping || fail "velmora-cli as velmora"
start=$(date +%s.%N)
systemctl stop velmora-station.service
stop_s=$(python3 -c "import sys; print('%.2f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$start" "$(date +%s.%N)")
echo "systemctl stop: $stop_s s (goal: under 5 s)"
[ "$(systemctl show -p Result --value velmora-station.service)" = success ] || fail "the service did not stop cleanly"
echo "package-test: passed"
