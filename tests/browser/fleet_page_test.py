#!/usr/bin/env python3
"""The station's fleet page in headless Chromium, against three simulated vehicles.

Starts velmora-vehicle-sim and velmora-station (--http 0), takes the vehicles off, loads a route
and a no-fly zone through velmora-cli, opens the page over the DevTools protocol and checks what
it shows: three rows whose altitudes rise, the route with its waypoints, the zone, and a console
without errors. Leaves a screenshot in the output folder.

  fleet_page_test.py --station BIN --sim BIN --cli BIN --out DIR   the test
  fleet_page_test.py --shot URL --out FILE.png [--shot-after-s S]   a screenshot of a running page
      [--expect-rows N --expect-stations K]   ... that fails unless it shows N rows and K stations online
      [--expect-text TEXT ...]   ... and each TEXT as text on the page, none of it run as HTML
A missing Chromium is a failure: scripts/setup.sh installs it.
"""
import argparse
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket

CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome")


def wait_until(what, condition, timeout_s, step_s=0.2):
    deadline = time.monotonic() + timeout_s
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(step_s)


def wait_for_line(path, pattern, timeout_s):
    """A child's output goes to a file (a pipe nobody drains would block it); this waits for a line."""
    def found():
        with open(path, errors="replace") as f:
            for line in f:
                match = re.search(pattern, line)
                if match:
                    return match
        return None
    try:
        return wait_until("%r in %s" % (pattern, path), found, timeout_s, 0.1)
    except AssertionError:
        with open(path, errors="replace") as f:
            raise AssertionError("no line matching %r in %s:\n%s" % (pattern, path, f.read()[-2000:]))


class Browser:
    """Headless Chromium driven over its DevTools WebSocket: one page, its console collected."""

    def __init__(self, chromium, profile_dir, width=1400, height=900):
        log = os.path.join(profile_dir, "chromium.log")
        os.makedirs(profile_dir, exist_ok=True)
        args = [chromium, "--headless=new", "--remote-debugging-port=0", "--user-data-dir=" + os.path.join(profile_dir, "profile"),
                "--window-size=%d,%d" % (width, height), "--no-first-run", "--no-default-browser-check",
                "--disable-gpu", "--disable-extensions", "--hide-scrollbars", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        with open(log, "wb") as out:
            self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=out)
        self.errors = []
        self.next_id = 0
        self.socket = None
        try:
            browser_url = wait_for_line(log, r"DevTools listening on (ws://\S+)", 30).group(1)
            port = re.match(r"ws://[^:/]+:(\d+)/", browser_url).group(1)
            # The tab opened at start (about:blank) is the one driven.
            targets = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port, timeout=10))
            page = next(t for t in targets if t.get("type") == "page")
            self.socket = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=30,
                                                      suppress_origin=True)
            for domain in ("Page", "Runtime", "Log"):
                self.call(domain + ".enable")
            self.call("Emulation.setDeviceMetricsOverride",
                      {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        except BaseException:
            self.close()
            raise

    def _event(self, message):
        method = message.get("method")
        params = message.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            texts = [a.get("value", a.get("description", "")) for a in params.get("args", [])]
            self.errors.append("console.%s: %s" % (params["type"], " ".join(str(t) for t in texts)))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            text = details.get("exception", {}).get("description") or details.get("text", "")
            self.errors.append("exception: %s (%s:%s)" % (text, details.get("url", ""), details.get("lineNumber")))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            self.errors.append("log: %s %s" % (entry.get("text", ""), entry.get("url", "")))

    def call(self, method, params=None):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params or {}}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise AssertionError("%s failed: %s" % (method, message["error"]))
                return message.get("result", {})
            self._event(message)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise AssertionError("%s threw: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def navigate(self, url):
        self.call("Page.navigate", {"url": url})
        wait_until("the page script", lambda: self.evaluate("typeof window.fleetPage === 'object'"), 20)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        if self.socket:
            try:
                self.socket.close()
            except OSError:
                pass
        stop(self.process)


def start(args, log_path):
    with open(log_path, "wb") as out:
        return subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT)


def stop(process):
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def find_chromium():
    return next((shutil.which(n) for n in CHROMIUM_NAMES if shutil.which(n)), None)


class Cli:
    def __init__(self, binary, endpoint):
        self.args = [binary, "--json", "--endpoint", endpoint]

    def __call__(self, method, params=None, *options, expect_ok=True):
        args = self.args + [method] + ([json.dumps(params)] if params is not None else []) + list(options)
        done = subprocess.run(args, capture_output=True, text=True, timeout=90)
        try:
            reply = json.loads(done.stdout)
        except ValueError:
            reply = {"raw": done.stdout, "stderr": done.stderr}
        if expect_ok and done.returncode != 0:
            raise AssertionError("%s %s -> exit %d: %s" % (method, params, done.returncode, reply))
        return done.returncode, reply


def run_test(args, chromium):
    out_dir = args.out
    os.makedirs(out_dir, exist_ok=True)
    # A short root: the endpoint socket's path must stay under 108 bytes.
    work = tempfile.mkdtemp(prefix="vmfp-", dir="/tmp")
    processes = []
    browser = None
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            station_port = str(probe.getsockname()[1])
        sim_log = os.path.join(work, "sim.log")
        processes.append(start([args.sim, "--udp",
                                "127.0.0.1:" + station_port, "--count", "3", "--heartbeat-ms", "200",
                                "--fix-after-s", "0"], sim_log))
        wait_for_line(sim_log, r"^\d+$", 15)
        endpoint_dir = os.path.join(work, "ep")
        os.mkdir(endpoint_dir)
        station_log = os.path.join(work, "station.log")
        processes.append(start([args.station, "--data-dir",
                                os.path.join(work, "station"), "--no-cloud", "--udp", station_port,
                                "--endpoint-dir", endpoint_dir, "--http", "0"], station_log))
        url = wait_for_line(station_log, r"fleet page: (http://\S+)", 20).group(1)
        cli = Cli(args.cli, os.path.join(endpoint_dir, "Tarnwick_CliIpc_v1"))

        def vehicles():
            code, reply = cli("vehicle.list", expect_ok=False)
            found = reply.get("data", {}).get("vehicles", []) if code == 0 else []
            return found if len(found) == 3 and all(v.get("alive") for v in found) else None

        ids = [v["vehicleId"] for v in wait_until("three live vehicles", vehicles, 30)]

        def no_critical_alert():
            return all(a["level"] != "Critical"
                       for i in ids for a in cli("alerts.active", {"vehicleId": i})[1]["data"]["alerts"])

        wait_until("position fixes", no_critical_alert, 30)

        home = cli("telemetry.snapshot", {"vehicleId": ids[0]})[1]["data"]["position"]
        lat, lon = home["lat"], home["lon"]
        zones_file = os.path.join(work, "zones.json")
        with open(zones_file, "w") as f:
            json.dump([{"id": 41, "type": "circle", "center": [lat + 0.0012, lon + 0.0008], "radius": 40}], f)
        cli("nfz.import", {"path": zones_file})
        points = [{"lat": lat + dn, "lon": lon + de, "alt": 25, "vel": 5}
                  for dn, de in ((0.0004, 0), (0.0004, 0.0006), (0.0008, 0.0006), (0.0008, 0))]
        # A name that runs script if the page ever handles it as HTML.
        route_name = '<img src=x onerror="document.title=\'pwned\'">'
        created = cli("route.create", {"name": route_name, "number": 4, "points": points})[1]["data"]
        waypoint_count = created["wayPointCount"]
        cli("mission.upload", {"vehicleId": ids[0]}, "--wait")

        browser = Browser(chromium, os.path.join(work, "chromium"))
        browser.navigate(url)
        rows = lambda: browser.evaluate("fleetPage.vehicleRows()")
        wait_until("three rows", lambda: len(rows()) == 3, 20)

        for i in ids:
            cli("control.command", {"action": "takeoff", "alt": 40, "vel": 2, "vehicleId": i})
        wait_until("the climb", lambda: all(r["alt"] > 1 for r in rows()), 20)
        first = {r["vehicleId"]: r["alt"] for r in rows()}
        wait_until("altitudes rising on the page",
                   lambda: all(r["alt"] > first[r["vehicleId"]] + 2 for r in rows()), 20)
        cli("mission.start", {"vehicleId": ids[0]})

        wait_until("the route's waypoints",
                   lambda: browser.evaluate("fleetPage.routeWaypointCount()") == waypoint_count, 10)
        assert browser.evaluate("fleetPage.routeLineDrawn()"), "the route line is drawn"
        assert browser.evaluate("fleetPage.routeTooltipText()") == route_name
        wait_until("the zone", lambda: browser.evaluate("fleetPage.zoneCount()") == 1, 10)
        wait_until("three markers", lambda: browser.evaluate("fleetPage.markerCount()") == 3, 10)
        assert browser.evaluate("fleetPage.wsState()") == "open"
        browser.evaluate("fleetPage.select(%d)" % ids[0])
        # Two chart redraws, so the selected vehicle's charts are on the picture.
        ticks = browser.evaluate("fleetPage.tickCount()")
        wait_until("ticks", lambda: browser.evaluate("fleetPage.tickCount()") >= ticks + 10, 10)
        browser.screenshot(os.path.join(out_dir, "fleet-page.png"))
        # About 400 KB of zones: the station sends such a document in parts, which the page
        # puts together.
        many = [{"id": 41, "type": "circle", "center": [lat + 0.0012, lon + 0.0008], "radius": 40}]
        many += [{"id": 1000 + i, "type": "polygon",
                  "points": [[lat + 0.01 + i * 1e-4, lon], [lat + 0.01 + i * 1e-4, lon + 5e-5],
                             [lat + 0.01005 + i * 1e-4, lon]]} for i in range(2999)]
        with open(zones_file, "w") as f:
            json.dump(many, f)
        cli("nfz.import", {"path": zones_file})
        wait_until("3000 zones from the parts", lambda: browser.evaluate("fleetPage.zoneCount()") == 3000, 20)
        assert browser.evaluate("document.querySelectorAll('img[src=\"x\"]').length") == 0
        assert browser.evaluate("document.title") == "Velmora fleet"
        assert not browser.errors, "console errors:\n" + "\n".join(browser.errors)
        print("fleet page: %d rows, %d waypoints, screenshot in %s" % (len(rows()), waypoint_count, out_dir))
        return 0
    except BaseException:
        # What the page and the station saw, for the failure's report.
        if browser:
            print("page errors:\n" + "\n".join(browser.errors), file=sys.stderr)
            try:
                browser.screenshot(os.path.join(out_dir, "fleet-page-failed.png"))
                print("page state:", browser.evaluate("JSON.stringify({ws: fleetPage.wsState(), "
                                                      "ticks: fleetPage.tickCount(), rows: fleetPage.vehicleRows()})"),
                      file=sys.stderr)
            except Exception as e:
                print("no page state: %s" % e, file=sys.stderr)
        for log in ("station.log", "sim.log"):
            if os.path.exists(os.path.join(work, log)):
                with open(os.path.join(work, log), errors="replace") as f:
                    print("--- %s (end)\n%s" % (log, f.read()[-3000:]), file=sys.stderr)
        raise
    finally:
        if browser:
            browser.close()
        for process in reversed(processes):
            stop(process)
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for program in ("station", "sim", "cli"):
        parser.add_argument("--" + program, help="the velmora-%s program" % program)
    parser.add_argument("--out", required=True, help="output folder (test) or PNG file (--shot)")
    parser.add_argument("--shot", metavar="URL", help="only take a screenshot of a running page")
    parser.add_argument("--expect-rows", type=int, help="--shot: the vehicle rows the page must show")
    parser.add_argument("--expect-stations", type=int, help="--shot: the stations it must list online")
    parser.add_argument("--expect-text", action="append", default=[],
                        help="--shot: a text (from a station, maybe hostile) the page must show as text")
    parser.add_argument("--shot-after-s", type=float, default=4,
                        help="follow the page this long first, so its trails and charts have a history")
    args = parser.parse_args()
    chromium = find_chromium()
    if not chromium:
        print("chromium is not installed (scripts/setup.sh installs it)", file=sys.stderr)
        return 1
    if args.shot:
        profile = tempfile.mkdtemp(prefix="vmfp-shot-")
        browser = None
        try:
            browser = Browser(chromium, profile)
            browser.navigate(args.shot)
            wait_until("the page's first ticks", lambda: browser.evaluate("fleetPage.tickCount()") >= 1, 20)
            # The station's active vehicle is the one shown in the charts (a viewer's first row).
            browser.evaluate("fleetPage.select(fleetPage.activeVehicleId() ?? "
                             "(fleetPage.vehicleRows()[0] || {}).key ?? null)")
            # A viewer's page shows every station's vehicles, not the selected one's surroundings.
            browser.evaluate("fleetPage.stations() && document.getElementById('fit-button').click()")
            rate = browser.evaluate("fleetPage.rateHz()")
            wanted = 2 + args.shot_after_s * rate
            wait_until("the page's ticks", lambda: browser.evaluate("fleetPage.tickCount()") >= wanted,
                       args.shot_after_s * 2 + 20)
            browser.screenshot(args.out)
            for e in browser.errors:
                print(e, file=sys.stderr)
            rows = browser.evaluate("fleetPage.vehicleRows().filter((r) => r.alive).length")
            online = browser.evaluate("(fleetPage.stations() || []).filter((s) => s.online).length")
            if args.expect_rows is not None and (rows, online) != (args.expect_rows, args.expect_stations):
                print("the page shows %d live rows and %d stations online" % (rows, online), file=sys.stderr)
                return 1
            shown = browser.evaluate("document.body.textContent + ' ' + "
                                     "[...document.querySelectorAll('[title]')].map((e) => e.title).join(' ')")
            missing = [t for t in args.expect_text if t not in shown]
            ran = browser.evaluate("document.querySelectorAll('img[src=\"x\"], script:not([src])').length")
            if missing or ran or browser.evaluate("document.title") != "Velmora fleet":
                print("texts not shown as text: %r; elements made from them: %d; title %r" %
                      (missing, ran, browser.evaluate("document.title")), file=sys.stderr)
                return 1
            return 1 if browser.errors else 0
        finally:
            if browser:
                browser.close()
            shutil.rmtree(profile, ignore_errors=True)
    if not (args.station and args.sim and args.cli):
        parser.error("the test needs --station, --sim and --cli")
    return run_test(args, chromium)


if __name__ == "__main__":
    sys.exit(main())
