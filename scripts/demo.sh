#!/usr/bin/env bash
# The headless station against three simulated vehicles: builds what is needed, starts
# velmora-vehicle-sim and velmora-station (with its fleet page), connects over UDP through
# velmora-cli, lists the vehicles, takes off, shows the altitude rising, lands, flies a survey,
# saves a screenshot of the fleet page, logs in to the local cloud service and watches a vehicle
# that reports only through the MQTT broker, starts a second station with vehicles of its own and
# shows both stations in velmora-fleetview, and stops everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
velmora_build --target velmora-station velmora-vehicle-sim velmora-cli velmora-cloud-sim velmora-flightlog \
  velmora-fleetview velmora-desk

BIN="$BUILD_DIR/tools"
STATION="$BIN/station/velmora-station"
SIM="$BIN/vehicle-sim/velmora-vehicle-sim"
CLI="$BIN/cli/velmora-cli"
CLOUD="$BIN/cloud-sim/velmora-cloud-sim"
FLIGHTLOG="$BIN/flightlog/velmora-flightlog"
FLEETVIEW="$BIN/fleetview/velmora-fleetview"
STATION_PORT="${STATION_PORT:-14550}"
PYTHON_FOR_PORT=/usr/bin/python3
[ -x "$PYTHON_FOR_PORT" ] || PYTHON_FOR_PORT=python3

DEMO_DIR=$(mktemp -d /tmp/velmora-demo.XXXXXX)
# A private endpoint directory: the demo never meets another station on this machine.
export TMPDIR="$DEMO_DIR/tmp"
export XDG_RUNTIME_DIR="$DEMO_DIR/runtime"
mkdir -p "$TMPDIR" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "== logs and flight data kept in $DEMO_DIR"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
cli() { "$CLI" "$@"; }
# The loops below read the envelope (--json); what the demo shows is the CLI's readable answer.
json_cli() { "$CLI" --json "$@"; }
quiet_cli() { "$CLI" "$@" >/dev/null 2>&1; }

step "starting 3 simulated vehicles (station at 127.0.0.1:$STATION_PORT)"
# Waypoint 30 is never acknowledged: a long route's upload fails, for the refused start below.
"$SIM" --udp "127.0.0.1:$STATION_PORT" --listen 0 --count 3 --fix-after-s 1 --wp-no-ack 30 \
  >"$DEMO_DIR/sim.out" 2>"$DEMO_DIR/sim.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$DEMO_DIR/sim.out" ] && break; sleep 0.1; done
SIM_PORT=$(head -n1 "$DEMO_DIR/sim.out")
echo "simulator listens on UDP port $SIM_PORT"

step "starting a mosquitto broker for remote monitoring"
MQTT_PORT=$("$PYTHON_FOR_PORT" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$DEMO_DIR/mosquitto"
mosquitto_passwd -b -c "$DEMO_DIR/mosquitto/passwd" demo-station "station-pw" >/dev/null
mosquitto_passwd -b "$DEMO_DIR/mosquitto/passwd" demo-vehicle "vehicle-pw" >/dev/null
# Started as root, mosquitto would drop to its own user, which cannot read this private folder.
printf 'listener %s 127.0.0.1\nallow_anonymous false\npassword_file %s\nuser %s\n' "$MQTT_PORT" \
  "$DEMO_DIR/mosquitto/passwd" "$(id -un)" >"$DEMO_DIR/mosquitto/mosquitto.conf"
mosquitto -c "$DEMO_DIR/mosquitto/mosquitto.conf" >"$DEMO_DIR/mosquitto/broker.log" 2>&1 &
pids+=($!)
MQTT_URI="tcp://127.0.0.1:$MQTT_PORT"
echo "broker on $MQTT_URI"

step "starting the fleet broker: mosquitto with the README's recommended configuration"
FLEET_PORT=$("$PYTHON_FOR_PORT" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
FLEET_DIR="$DEMO_DIR/fleet-broker"
mkdir -p "$FLEET_DIR"
mosquitto_passwd -b -c "$FLEET_DIR/passwd" site-a "site-a-pw" >/dev/null
mosquitto_passwd -b "$FLEET_DIR/passwd" site-b "site-b-pw" >/dev/null
mosquitto_passwd -b "$FLEET_DIR/passwd" fleetview "view-pw" >/dev/null
mv "$FLEET_DIR/passwd" "$FLEET_DIR/velmora.passwd"
# The README's two files as written there (a fenced block each, named by its first line).
readme_block() { awk -v first="$1" '$0 == first && prev == "```" {on = 1} on && $0 == "```" {exit} on {print} {prev = $0}' README.md; }
readme_block '# velmora fleet broker: velmora.acl' >"$FLEET_DIR/velmora.acl"
{ printf 'listener %s 127.0.0.1\nuser %s\n' "$FLEET_PORT" "$(id -un)"
  readme_block '# velmora fleet broker: mosquitto.conf'; } >"$FLEET_DIR/mosquitto.conf"
[ -s "$FLEET_DIR/velmora.acl" ] || { echo "demo: README has no broker ACL block" >&2; exit 1; }
(cd "$FLEET_DIR" && exec mosquitto -c mosquitto.conf) >"$FLEET_DIR/broker.log" 2>&1 &
pids+=($!)
FLEET_URI="mqtt://127.0.0.1:$FLEET_PORT"
echo "fleet broker on $FLEET_URI"

step "starting the local cloud service (account demo@example.com owns vehicle DEMO-R)"
"$CLOUD" --port 0 --account demo@example.com:demo-pass --account-vehicle demo@example.com:DEMO-R:Watched \
  >"$DEMO_DIR/cloud.out" 2>"$DEMO_DIR/cloud.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$DEMO_DIR/cloud.out" ] && break; sleep 0.1; done
CLOUD_PORT=$(head -n1 "$DEMO_DIR/cloud.out" | grep -o '[0-9]*$')
echo "cloud service on http://127.0.0.1:$CLOUD_PORT"

step "starting velmora-station site-a (data in $DEMO_DIR/station)"
VELMORA_FLEET_PASSWORD=site-a-pw "$STATION" --data-dir "$DEMO_DIR/station" --log-level warn \
  --cloud-url "http://127.0.0.1:$CLOUD_PORT" --mqtt "$MQTT_URI" --mqtt-user demo-station --mqtt-password station-pw \
  --http 0 --fleet-broker "$FLEET_URI" --station-id site-a --fleet-user site-a \
  >"$DEMO_DIR/station.out" 2>"$DEMO_DIR/station.err" &
STATION_PID=$!
pids+=($STATION_PID)
for _ in $(seq 100); do quiet_cli system.ping && break; sleep 0.1; done
cli system.ping
for _ in $(seq 50); do grep -qs 'fleet page:' "$DEMO_DIR/station.out" && break; sleep 0.1; done
PAGE_URL=$(grep -ho 'fleet page: http://[^ ]*' "$DEMO_DIR/station.out" "$DEMO_DIR/station.err" | head -n1 | cut -d' ' -f3)
echo "fleet page: ${PAGE_URL:-(not served, see $DEMO_DIR/station.err)}"

step "connecting over UDP"
cli connection.connect "{\"type\": \"udp\", \"sendPort\": $STATION_PORT, \"recvPort\": $SIM_PORT}"
for _ in $(seq 50); do
  [ "$(json_cli vehicle.list 2>/dev/null | grep -c '"vehicleId"')" -ge 3 ] && break
  sleep 0.2
done
step "vehicles"
cli vehicle.list

step "waiting for the active vehicle to come alive"
for _ in $(seq 50); do json_cli vehicle.list | grep -q '"alive": true' && break; sleep 0.2; done
cli connection.status

step "waiting for a position fix (the station refuses a take-off during a critical alert)"
for _ in $(seq 50); do json_cli alerts.active | grep -q '"Critical"' || break; sleep 0.2; done

step "take-off to 30 m at 3 m/s"
TAKEOFF_ID=$(json_cli connection.status | "$PYTHON_FOR_PORT" -c 'import json, sys; print(json.load(sys.stdin)["data"]["activeVehicleId"])')
cli control.command '{"action": "takeoff", "alt": 30, "vel": 3}' --wait
# The snapshot's readable form is a field a line: name, value, unit.
field() { awk -v f="$1" '$1 == f { print $2; exit }'; }
altitude() { "$CLI" telemetry.snapshot | field alt; }
for i in $(seq 8); do
  sleep 1
  printf 't+%ss  altitude %5.1f m\n' "$i" "$(altitude)"
done

step "landing"
cli control.command '{"action": "land"}' --wait
for i in $(seq 3); do
  sleep 1
  printf 't+%ss  altitude %5.1f m\n' "$i" "$(altitude)"
done
cli vehicle.linkStats

step "a survey for vehicle 2: route from an area, upload, download, run"
cli vehicle.setActive '{"vehicleId": 2}'
# A no-fly zone beside the survey, for the fleet page to show.
echo '[{"id": 1, "type": "circle", "center": [22.5446, 113.9484], "radius": 50}]' >"$DEMO_DIR/zones.json"
cli nfz.import "{\"path\": \"$DEMO_DIR/zones.json\"}"
# The page is followed from here on, so that its picture shows the survey's first seconds.
shot_pid=""
if [ -z "${PAGE_URL:-}" ]; then
  echo "fleet page: no address, no screenshot"
elif ! command -v chromium >/dev/null; then
  echo "fleet page: chromium is not installed, no screenshot; open $PAGE_URL in a browser"
else
  # Debian's python3 carries python3-websocket, which drives Chromium over its DevTools socket.
  PYTHON=/usr/bin/python3
  [ -x "$PYTHON" ] || PYTHON=python3
  "$PYTHON" tests/browser/fleet_page_test.py --shot "$PAGE_URL" --shot-after-s 16 \
    --out "$DEMO_DIR/fleet-page.png" >"$DEMO_DIR/screenshot.log" 2>&1 &
  shot_pid=$!
  pids+=($shot_pid)
fi
cli route.create '{"name": "survey", "number": 1, "area": {"polygon": [{"lat": 22.5431, "lon": 113.9468},
  {"lat": 22.5431, "lon": 113.9476}, {"lat": 22.5438, "lon": 113.9476}, {"lat": 22.5438, "lon": 113.9468}],
  "lineSpacing": 20}}'
cli mission.check
cli mission.upload --verify --wait
cli mission.download --wait
SURVEY_ID=$(json_cli route.list | "$PYTHON_FOR_PORT" -c 'import json,sys; print(json.load(sys.stdin)["data"]["activeRouteId"])')
cli route.export "{\"routeId\": \"$SURVEY_ID\", \"path\": \"$DEMO_DIR/survey.geojson\", \"format\": \"geojson\"}"
cli mission.start '{"vehicleId": 2}'
position() { "$CLI" telemetry.snapshot "$@" | awk '$1 == "alt" || $1 == "lat" || $1 == "lon" { printf "%s ", $2 }'; }
for i in $(seq 6); do
  sleep 1
  printf 't+%ss  vehicle 2 (alt m, lat, lon) %s\n' "$i" "$(position '{"vehicleId": 2}')"
done
if [ -n "$shot_pid" ]; then
  step "the fleet page while the survey is flown"
  if wait "$shot_pid"; then
    echo "screenshot of $PAGE_URL: $DEMO_DIR/fleet-page.png"
  else
    echo "the screenshot failed (see $DEMO_DIR/screenshot.log); the page was at $PAGE_URL"
  fi
fi

step "an upload that fails: vehicle 3 never acknowledges waypoint 30, so it does not fly the route"
LINE_POINTS=$("$PYTHON_FOR_PORT" -c 'import json; print(json.dumps([{"lat": 22.5431 + i * 1e-5, "lon": 113.9466, "alt": 25} for i in range(32)]))')
LINE_ID=$(json_cli route.create "{\"name\": \"long line\", \"number\": 3, \"points\": $LINE_POINTS}" |
  "$PYTHON_FOR_PORT" -c 'import json,sys; print(json.load(sys.stdin)["data"]["id"])')
cli mission.upload "{\"routeId\": \"$LINE_ID\", \"vehicleId\": 3}" --wait || echo "(the upload failed, as injected)"
cli mission.start '{"vehicleId": 3}' || echo "(the start was refused: the vehicle did not take the route)"
cli mission.status '{"vehicleId": 3}'

step "remote monitoring: vehicle DEMO-R reports through the broker only (no link)"
"$SIM" --mqtt "$MQTT_URI" --mqtt-user demo-vehicle --mqtt-password vehicle-pw --vehicle-code DEMO-R \
  >"$DEMO_DIR/remote-sim.out" 2>"$DEMO_DIR/remote-sim.log" &
pids+=($!)
VELMORA_PASSWORD=demo-pass cli login demo@example.com
cli vehicles
cli remote DEMO-R
for i in $(seq 4); do
  sleep 1
  printf 't+%ss  DEMO-R (alt m, lat, lon) %s\n' "$i" "$(position '{"vehicleCode": "DEMO-R"}')"
done
cli vehicle.list
cli remote --stop
cli logout

step "several stations: site-b with 4 vehicles of its own, and velmora-fleetview showing both"
SITE_B_PORT=$("$PYTHON_FOR_PORT" -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$DEMO_DIR/site-b"
# One simulator a vehicle, each from its own spot of the site, so the map shows them apart.
i=0
for home in 22.5445,113.9490 22.5449,113.9496 22.5441,113.9499 22.5452,113.9486; do
  "$SIM" --udp "127.0.0.1:$SITE_B_PORT" --listen 0 --count 1 --first-id $((11 + i)) --fix-after-s 1 --home "$home" \
    >"$DEMO_DIR/sim-b$i.out" 2>"$DEMO_DIR/sim-b$i.log" &
  pids+=($!)
  i=$((i + 1))
done
VELMORA_FLEET_PASSWORD=site-b-pw "$STATION" --data-dir "$DEMO_DIR/site-b" --endpoint-dir "$DEMO_DIR/site-b" --no-cloud \
  --log-level warn --udp "$SITE_B_PORT" --fleet-broker "$FLEET_URI" --station-id site-b --fleet-user site-b \
  >"$DEMO_DIR/site-b.out" 2>"$DEMO_DIR/site-b.err" &
pids+=($!)
printf 'view-pw\n' >"$FLEET_DIR/view-password"
chmod 600 "$FLEET_DIR/view-password"
"$FLEETVIEW" --broker "$FLEET_URI" --user fleetview --password-file "$FLEET_DIR/view-password" --http 0 \
  >"$DEMO_DIR/fleetview.out" 2>"$DEMO_DIR/fleetview.err" &
pids+=($!)
for _ in $(seq 50); do grep -qs 'fleet page:' "$DEMO_DIR/fleetview.out" && break; sleep 0.1; done
VIEW_URL=$(grep -o 'http://[^ ]*' "$DEMO_DIR/fleetview.out" | head -n1)
echo "fleet viewer: $VIEW_URL"
fleet_rows() {
  "$PYTHON_FOR_PORT" -c '
import json, sys, urllib.request
# No fix: no position, shown as "-" (never 0/0).
at = lambda x, width: ("%*.6f" % (width, x)) if x is not None else "%*s" % (width, "-")
for v in json.load(urllib.request.urlopen(sys.argv[1] + "api/v1/fleet"))["vehicles"]:
    print("%-8s %-4s %-6s %s %s %6.1f  %s" % (v["station"], v["vehicleId"], "alive" if v["alive"] else "grey",
                                          at(v["lat"], 10), at(v["lon"], 11), v["alt"], v["flightModeText"]))' "$VIEW_URL"
}
# A station counts as live from its second status (5 s apart).
for _ in $(seq 100); do [ "$(fleet_rows 2>/dev/null | grep -c alive)" -ge 7 ] && break; sleep 0.2; done
echo "STATION  ID   LINK          LAT         LON    ALT  MODE"
fleet_rows
"$PYTHON_FOR_PORT" -c '
import json, sys, urllib.request
for s in json.load(urllib.request.urlopen(sys.argv[1] + "api/v1/stations"))["stations"]:
    print("station %-8s %-11s %d vehicles, started %s" % (s["id"], s["state"], s["vehicles"],
                                                       s["startedAt"]))' "$VIEW_URL"
cli fleet.status
if [ -n "$VIEW_URL" ] && command -v chromium >/dev/null; then
  if "$PYTHON_FOR_PORT" tests/browser/fleet_page_test.py --shot "$VIEW_URL" --shot-after-s 3 --out "$DEMO_DIR/fleet-view.png" \
    >"$DEMO_DIR/fleet-view-shot.log" 2>&1; then
    echo "screenshot of the fleet viewer: $DEMO_DIR/fleet-view.png"
  else
    echo "the viewer's screenshot failed (see $DEMO_DIR/fleet-view-shot.log)"
  fi
fi

step "the flight log of vehicle $TAKEOFF_ID: its take-off and landing"
# The station closes its flight logs when it stops.
kill -TERM "$STATION_PID" 2>/dev/null || true
wait "$STATION_PID" 2>/dev/null || true
FLIGHT_LOG=$(find "$DEMO_DIR/station" -name "Flight_${TAKEOFF_ID}_*.xlsx" | sort | head -n1)
if [ -n "$FLIGHT_LOG" ]; then
  "$FLIGHTLOG" "$FLIGHT_LOG" --summary
  if "$FLIGHTLOG" "$FLIGHT_LOG" --plot alt,up_spd -o "$DEMO_DIR/flight.png" --size 1000x560; then
    echo "plot of altitude and vertical speed: $DEMO_DIR/flight.png"
  fi
else
  echo "no flight log of vehicle $TAKEOFF_ID in $DEMO_DIR/station"
fi

step "velmora-desk, the operator window: vehicle 2 flies a survey; its screenshot goes to docs/desk.png"
DESK="$BIN/desk/velmora-desk"
mkdir -p "$DEMO_DIR/desk"
DESK_PORT=$("$PYTHON_FOR_PORT" -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$SIM" --udp "127.0.0.1:$DESK_PORT" --listen 0 --count 3 --fix-after-s 1 >"$DEMO_DIR/desk-sim.out" 2>"$DEMO_DIR/desk-sim.log" &
pids+=($!)
# Without a display the window is drawn offscreen, in software.
desk_env=()
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || desk_env=(QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software)
env "${desk_env[@]}" "$DESK" --data-dir "$DEMO_DIR/desk" --endpoint-dir "$DEMO_DIR/desk" --no-cloud --log-level warn \
  --udp "$DESK_PORT" --geometry 1280x800 --lang en >"$DEMO_DIR/desk.out" 2>"$DEMO_DIR/desk.err" &
pids+=($!)
desk_cli() { "$CLI" --endpoint "$DEMO_DIR/desk/Tarnwick_CliIpc_v1" "$@"; }
for _ in $(seq 100); do [ "$(desk_cli --json vehicle.list 2>/dev/null | grep -c '"alive": true')" -ge 3 ] && break; sleep 0.2; done
echo '[{"id": 1, "type": "circle", "center": [22.5446, 113.9484], "radius": 50}]' >"$DEMO_DIR/desk-zones.json"
desk_cli nfz.import "{\"path\": \"$DEMO_DIR/desk-zones.json\"}"
desk_cli window.press '{"objectName": "selectVehicle_2"}'
desk_cli route.create '{"name": "survey", "number": 1, "area": {"polygon": [{"lat": 22.5431, "lon": 113.9468},
  {"lat": 22.5431, "lon": 113.9476}, {"lat": 22.5438, "lon": 113.9476}, {"lat": 22.5438, "lon": 113.9468}],
  "lineSpacing": 20}}'
desk_cli window.press '{"objectName": "routesTab"}'
desk_cli window.press '{"objectName": "checkButton"}'
desk_cli window.press '{"objectName": "uploadButton"}'
for _ in $(seq 100); do desk_cli --json mission.status '{"vehicleId": 2}' | grep -q '"verify": "verified"' && break; sleep 0.2; done
desk_cli window.press '{"objectName": "startButton"}'
desk_cli window.press '{"objectName": "startConfirm"}'
sleep 20
desk_cli window.press '{"objectName": "fitButton"}'
desk_cli window.screenshot "{\"path\": \"$PWD/docs/desk.png\"}" && echo "screenshot of velmora-desk: docs/desk.png"

step "done: stopping the simulators"
