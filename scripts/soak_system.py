#!/usr/bin/python3
"""The whole system under load and faults for a while, then a table of figures against bounds.

Run through scripts/soak-system.sh, which builds the programs and passes --bin-dir. Everything
runs as processes on this machine: one station with 253 simulated vehicles on a lossy link
(2 % loss both ways, 50 ms jitter; 243 vehicles in one simulator, 10 in another), the MAVLink
bridge with two ground stations (tests/mavlink-peer: one watching telemetry, one uploading and
downloading a route every minute), the fleet publisher to a local mosquitto and
velmora-fleetview reading it, twenty page viewers (three of them slow readers) and ten CLI
clients (ten processes) at 10 requests a second each. Faults, at fixed fractions of the run: the vehicle link
dropped for 20 s (both simulators stopped), the ten-vehicle simulator killed and restarted, the
broker restarted, the routes ground station killed mid-transfer and restarted, the station
killed (SIGKILL) and restarted on its data directory.

Choices where the figures need one:
- "Minute 10" is min(10 min, a fifth of the run) after the station started, for each station
  process; growth is measured from there to that process's end (its SIGKILL, or the run's end).
  Under --sanitize the row also gives the growth of the heap the station holds (its /metrics
  velmora_sanitizer_live_heap_bytes, read every half minute), as evidence when RSS moves: the
  bound stays on RSS.
- Page vs simulator: once a minute one viewer's vehicles shown alive are compared with the
  simulator's vehicles that are running; they must agree at some moment within 2 s. Samples
  taken within 30 s after a fault are skipped (the station needs its time-outs to see it).
- Flight-log rows: the 243-vehicle simulator counts the flight status records that left it
  after its link faults (SIGUSR1 prints its counters). Rows lost = records sent - rows logged,
  for its vehicles, counted separately after the station's restart (bound: 0) and before its
  SIGKILL (shown, not bound: answers unread in the socket or not yet written by the recorder's
  thread die with the process; the recorder writes and flushes each row it takes).
- CLI answer time: from before the client connects to the whole answer read, as the client sees
  it. Each client is a process of its own: ten threads of one interpreter would wait for each
  other's turn at the interpreter lock, and that wait is not the station's.
- A ground-station transfer that overlaps a fault window is an injected failure; any other
  that does not end in result 0 counts against the bound.
"""
import argparse
import ctypes
import getpass
import hashlib
import json
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import websocket  # python3-websocket (Debian)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STATION_PW, VIEWER_PW = "soak-station-pw", "soak-viewer-pw"


def readme_block(first_line):
    """The README's fenced block whose first line is first_line."""
    with open(os.path.join(ROOT, "README.md")) as f:
        lines = f.read().split("\n")
    for i, line in enumerate(lines):
        if line == first_line and i > 0 and lines[i - 1].startswith("```"):
            end = lines.index("```", i)
            return "\n".join(lines[i:end]) + "\n"
    raise RuntimeError("the README has no block " + first_line)
MAIN_VEHICLES = 243  # ids 1-244: the simulator skips 129, the station's own id
KILLED_VEHICLES = 10  # ids 245-254
MAIN_IDS = set(range(1, 245)) - {129}


def free_port(kind=socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Run:
    def __init__(self, args):
        self.args = args
        self.data = os.path.abspath(args.data_dir)
        os.makedirs(self.data, exist_ok=True)
        self.logs = os.path.join(self.data, "logs-soak")
        os.makedirs(self.logs, exist_ok=True)
        self.seconds = args.minutes * 60
        self.t0 = time.time()
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.procs = {}          # name -> Popen
        self.expected_exit = set()
        self.crashes = []
        self.faults = []         # (start, end, name)
        self.cli_latencies = []
        self.cli_errors = 0
        self.cli_by_method = {}  # method -> latencies, for the report's detail
        self.samples = []        # per-minute page vs simulator samples
        self.proc_samples = []   # (t, pid, rss_kb, fds, threads)
        self.transfers = []      # ground-station transfers
        self.sim_counters = {}   # label -> counters dict of the 243-vehicle simulator
        self.stopped_sims = False
        self.killed_sim_down = False
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        if args.sanitize:
            supp = os.path.join(ROOT, "scripts", "lsan.supp")
            # Two frames of each allocation's stack (SOAK_MALLOC_CONTEXT to change it): the
            # sanitizer keeps every distinct stack it has seen for the life of the process, and
            # Debian's Qt is built without frame pointers, so from the third frame on the fast
            # unwinder reads whatever a Qt function left on its stack. Each such stack is new:
            # a loop of fixed Qt calls made 2.2 million of them (116 MB) at twelve frames, 39 at
            # two, and the station's store grew 3 to 4 MB a minute all hour, which is growth of
            # the sanitizer's bookkeeping, not of the station. A report still names the function
            # that allocated and its caller, and the access itself gets its whole stack; for whole
            # allocation stacks, rerun with SOAK_MALLOC_CONTEXT=30 or use scripts/sanitize.sh.
            # print_stats at exit: how much of the last station's memory was the sanitizer's own.
            context = int(os.environ.get("SOAK_MALLOC_CONTEXT", "2"))
            self.env["ASAN_OPTIONS"] = ("detect_leaks=1:halt_on_error=0:malloc_context_size=%d:atexit=1:print_stats=1:"
                                        "log_path=%s" % (context, os.path.join(self.logs, "asan")))
            self.env["LSAN_OPTIONS"] = "suppressions=" + supp + ":print_suppressions=0"
            self.env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=0:log_path=" + os.path.join(self.logs, "ubsan")

    def at(self, fraction):
        return self.t0 + self.seconds * fraction

    def now(self):
        return time.time() - self.t0

    def bin(self, name):
        folder = {"velmora-station": "station", "velmora-vehicle-sim": "vehicle-sim", "velmora-fleetview": "fleetview"}
        return os.path.join(self.args.bin_dir, "tools", folder[name], name)

    def log(self, text):
        line = "[%7.1f s] %s" % (self.now(), text)
        print(line, flush=True)

    # --- processes ---------------------------------------------------------------------------
    def start(self, name, cmd, stdout=None, cwd=None):
        err = open(os.path.join(self.logs, name + ".stderr"), "ab")
        out = stdout if stdout is not None else open(os.path.join(self.logs, name + ".stdout"), "ab")
        # Each in a session of its own: while the simulators are stopped (the link-drop fault), any
        # other child's exit would otherwise find their shared, orphaned process group with stopped
        # members, and the kernel would hang up the whole group (SIGHUP), simulators included.
        p = subprocess.Popen(cmd, stdout=out, stderr=err, env=self.env, cwd=cwd, start_new_session=True)
        with self.lock:
            self.procs[name] = p
            self.expected_exit.discard(name)
        return p

    def end(self, name, sig=signal.SIGTERM, wait=10):
        with self.lock:
            p = self.procs.get(name)
            self.expected_exit.add(name)
        if not p or p.poll() is not None:
            return
        p.send_signal(sig)
        try:
            p.wait(wait)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()

    def watch_processes(self):
        while not self.stop.wait(1):
            with self.lock:
                for name, p in list(self.procs.items()):
                    rc = p.poll()
                    if rc is not None and name not in self.expected_exit:
                        self.crashes.append({"process": name, "status": rc, "at": round(self.now(), 1)})
                        self.expected_exit.add(name)
                        self.log("CRASH: %s exited with %s" % (name, rc))

    # --- the system --------------------------------------------------------------------------
    def start_broker(self):
        # The README's recommended configuration, verbatim, plus a listener: the station's account
        # is its station id, the viewer has its own.
        broker = os.path.join(self.data, "broker")
        os.makedirs(broker, exist_ok=True)
        passwd = os.path.join(broker, "velmora.passwd")
        if not os.path.exists(passwd):
            for i, (user, password) in enumerate((("soak", STATION_PW), ("fleetview", VIEWER_PW))):
                subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if i == 0 else []) + [passwd, user, password],
                               check=True, stdout=subprocess.DEVNULL)
            for name, password in (("station.pw", STATION_PW), ("viewer.pw", VIEWER_PW)):
                with open(os.open(os.path.join(broker, name), os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                    f.write(password)
            with open(os.path.join(broker, "velmora.acl"), "w") as f:
                f.write(readme_block("# velmora fleet broker: velmora.acl"))
            with open(os.path.join(broker, "mosquitto.conf"), "w") as f:
                # Started as root, mosquitto would drop to its own user, which cannot read these files.
                f.write("listener %d 127.0.0.1\nuser %s\n" % (self.broker_port, getpass.getuser()))
                f.write(readme_block("# velmora fleet broker: mosquitto.conf"))
        self.start("mosquitto", ["mosquitto", "-c", "mosquitto.conf"], cwd=broker)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.broker_port), 1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("mosquitto did not start")

    def start_station(self):
        out_path = os.path.join(self.logs, "station.stdout")
        out = open(out_path, "ab")
        start_size = os.path.getsize(out_path)
        cmd = [self.bin("velmora-station"), "--data-dir", os.path.join(self.data, "station"),
               "--endpoint-dir", self.endpoint_dir, "--no-cloud", "--udp", str(self.station_port),
               "--http", str(self.http_port), "--fleet-broker", "mqtt://127.0.0.1:%d" % self.broker_port,
               "--station-id", "soak", "--fleet-user", "soak",
               "--fleet-password-file", os.path.join(self.data, "broker", "station.pw"),
               # Twenty viewers from one address range: a control room behind one address.
               "--http-per-peer", "10", "--mavlink", "udp:127.0.0.1:%d" % self.gcs_watch_port,
               "--mavlink", "udp:127.0.0.1:%d" % self.gcs_routes_port, "--mavlink-control"]
        p = self.start("station", cmd, stdout=out)
        deadline = time.time() + 60
        while time.time() < deadline:
            with open(out_path, "rb") as f:
                f.seek(start_size)
                if b"fleet page:" in f.read():
                    break
            time.sleep(0.2)
        else:
            raise RuntimeError("the station did not start (see %s)" % self.logs)
        self.station_started = time.time()
        self.station_segments.append({"pid": p.pid, "start": self.station_started, "samples": []})
        self.log("station pid %d" % p.pid)

    def start_sim(self, name, first, count, seed):
        cmd = [self.bin("velmora-vehicle-sim"), "--udp", "127.0.0.1:%d" % self.station_port,
               "--first-id", str(first), "--count", str(count), "--loss", "0.02", "--jitter-ms", "50",
               "--seed", str(seed), "--fix-after-s", "0"]
        out = open(os.path.join(self.logs, name + ".stdout"), "ab")
        p = self.start(name, cmd, stdout=out)
        return p

    def start_fleetview(self):
        self.start("fleetview", [self.bin("velmora-fleetview"), "--broker", "mqtt://127.0.0.1:%d" % self.broker_port,
                                 "--user", "fleetview", "--password-file",
                                 os.path.join(self.data, "broker", "viewer.pw"), "--http", "0"])

    def start_gcs(self, name, port, steps, seconds):
        # They run past the end: the soak stops them, so an early exit is a failure.
        script = os.path.join(ROOT, "tests", "mavlink-peer", "gcs_check.cjs")
        every = 60 if self.seconds >= 600 else 30
        return self.start(name, ["node", script, "--port", str(port), "--vehicles", "1,2", "--steps", steps,
                                 "--seconds", str(int(seconds) + 120), "--every", str(every)])

    def prepare_station_settings(self):
        # One flight-log row per flight status record, on the ground too.
        conf_dir = os.path.join(self.data, "station", "config", "Brel")
        os.makedirs(conf_dir, exist_ok=True)
        with open(os.path.join(conf_dir, "Velmora.conf"), "w") as f:
            f.write("[flightData]\nthinOnGround=false\n")

    # --- CLI ---------------------------------------------------------------------------------
    def call(self, method, params=None, timeout=5):
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(timeout)
        try:
            s.connect(os.path.join(self.endpoint_dir, "Tarnwick_CliIpc_v1"))
            body = json.dumps({"method": method, "apiVersion": "1", "params": params or {}}).encode()
            s.sendall(struct.pack("<I", len(body)) + body)
            data = b""
            while len(data) < 4 or len(data) < 4 + struct.unpack("<I", data[:4])[0]:
                chunk = s.recv(65536)
                if not chunk:
                    raise ConnectionError("closed")
                data += chunk
            return json.loads(data[4:4 + struct.unpack("<I", data[:4])[0]])
        finally:
            s.close()

    def cli_client(self, index, out):
        rng = random.Random(index)
        requests = [("telemetry.snapshot", lambda: {"vehicleId": rng.randint(1, 253)}),
                    ("params.get", lambda: {"group": "basic", "vehicleId": rng.randint(1, 253)}),
                    ("mission.check", lambda: {})]
        next_at = time.time()
        while not self.stop.is_set():
            method, params = requests[rng.randrange(len(requests))]
            t = time.time()
            try:
                answer = self.call(method, params())
                ok = isinstance(answer, dict) and "ok" in answer
            except (OSError, ValueError, ConnectionError):
                ok = False
            with self.lock:
                out.write("%.3f %.6f %d %s\n" % (t, time.time() - t, ok, method))
            next_at += 0.1
            self.stop.wait(max(0, next_at - time.time()))

    # --- page viewers ------------------------------------------------------------------------
    def viewer(self, index, slow):
        source = "127.0.0.%d" % (2 + index % 3)  # at most 8 connections per peer address
        state = {}
        self.viewer_states[index] = state
        while not self.stop.is_set():
            try:
                sock = socket.socket()
                sock.bind((source, 0))
                if slow:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                sock.connect(("127.0.0.1", self.http_port))
                ws = websocket.create_connection("ws://127.0.0.1:%d/ws" % self.http_port, socket=sock, timeout=10,
                                                 origin="http://127.0.0.1:%d" % self.http_port)
                while not self.stop.is_set():
                    msg = json.loads(ws.recv())
                    if msg.get("type") == "snapshot":
                        state.clear()
                        for v in msg["fleet"]["vehicles"]:
                            state[v["key"]] = bool(v.get("alive"))
                    elif msg.get("type") == "tick":
                        for v in msg.get("vehicles", []):
                            if "alive" in v:
                                state[v["key"]] = bool(v["alive"])
                            else:
                                state.setdefault(v["key"], False)
                        for k in msg.get("removed", []):
                            state.pop(k, None)
                    if slow:
                        time.sleep(1.0)
                ws.close()
            except Exception:  # noqa: BLE001 - a dropped viewer reconnects, like the page
                state.clear()
                self.stop.wait(1)

    # --- measurements ------------------------------------------------------------------------
    def in_fault(self, t, kind=None, margin=0):
        for start, end, name in self.faults:
            if (kind is None or name == kind) and start - margin <= t <= (end or time.time()) + margin:
                return True
        return False

    def proc_sample(self):
        p = self.procs.get("station")
        if not p or p.poll() is not None:
            return
        try:
            with open("/proc/%d/status" % p.pid) as f:
                status = f.read()
            rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
            threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
            fds = len(os.listdir("/proc/%d/fd" % p.pid))
        except (OSError, AttributeError):
            return
        # Each half minute: /metrics is work for the station.
        live = None
        if time.time() - getattr(self, "live_taken", 0) >= 30:
            live = self.sanitizer_live_heap()
            self.live_taken = time.time()
        seg = self.station_segments[-1]
        if seg["pid"] == p.pid:
            seg["samples"].append((time.time(), rss, fds, threads, live))

    def sanitizer_live_heap(self):
        """What the station itself holds, in KiB, when it runs under the address sanitizer (its
        RSS is then mostly the sanitizer's quarantine of freed memory and size-class pools)."""
        if not self.args.sanitize:
            return None
        try:
            with socket.create_connection(("127.0.0.1", self.http_port), timeout=5) as sock:
                sock.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                text = b""
                while chunk := sock.recv(65536):
                    text += chunk
            m = re.search(rb"^velmora_sanitizer_live_heap_bytes (\S+)$", text, re.M)
            return int(float(m.group(1)) / 1024) if m else None
        except (OSError, ValueError):
            return None

    def alive_in_sim(self):
        n = 0 if self.stopped_sims else MAIN_VEHICLES
        if not self.stopped_sims and not self.killed_sim_down:
            n += KILLED_VEHICLES
        return n

    def page_sample(self):
        t = time.time()
        if self.in_fault(t, margin=30):
            return
        expected = self.alive_in_sim()
        shown = None
        deadline = t + 2
        while True:
            state = self.viewer_states.get(0, {})
            shown = sum(1 for k, alive in list(state.items()) if alive and k.startswith("local:"))
            if shown == expected or time.time() >= deadline:
                break
            time.sleep(0.1)
        self.samples.append({"at": round(t - self.t0, 1), "page": shown, "sim": expected, "equal": shown == expected})
        self.log("page shows %d alive, simulator runs %d" % (shown, expected))

    def sim_counters_now(self, label):
        p = self.procs.get("sim-main")
        if not p or p.poll() is not None:
            return
        path = os.path.join(self.logs, "sim-main.stdout")
        before = os.path.getsize(path)
        p.send_signal(signal.SIGUSR1)
        deadline = time.time() + 5
        while time.time() < deadline:
            with open(path) as f:
                f.seek(before)
                text = f.read()
            m = re.search(r"status-records-out (\d+)", text)
            if m:
                self.sim_counters[label] = {"t": time.time(), "statusRecordsOut": int(m.group(1))}
                return
            time.sleep(0.1)

    def sim_final_counters(self):
        with open(os.path.join(self.logs, "sim-main.stdout")) as f:
            found = re.findall(r"status-records-out (\d+)", f.read())
        if found:
            self.sim_counters["end"] = {"t": time.time(), "statusRecordsOut": int(found[-1])}

    def station_state(self):
        """What must survive a SIGKILL: the stored routes, the zone cache and vehicle 1's parameters."""
        base = os.path.join(self.data, "station")
        digest = {}
        for sub in ("cache", "data"):
            for dirpath, _, files in os.walk(os.path.join(base, sub)):
                for name in files:
                    path = os.path.join(dirpath, name)
                    rel = os.path.relpath(path, base)
                    if "/missions/" in "/" + rel or name.startswith("nfz_cache.json"):
                        with open(path, "rb") as f:
                            digest[rel] = hashlib.sha256(f.read()).hexdigest()
        routes = self.call("route.list").get("data", {})
        for r in routes.get("routes", []):
            r.pop("active", None)
        params = self.read_params(1)
        return {"files": digest, "routes": routes.get("routes"), "zones": self.call("nfz.status")["data"]["zoneCount"],
                "params": params}

    def read_params(self, vehicle):
        self.call("params.read", {"group": "basic", "vehicleId": vehicle})
        deadline = time.time() + 15
        while time.time() < deadline:
            got = self.call("params.get", {"group": "basic", "vehicleId": vehicle}).get("data", {})
            if got.get("readSinceAlive"):
                return got.get("values")
            time.sleep(0.5)
        return None

    # --- the run -----------------------------------------------------------------------------
    def setup(self):
        self.broker_port = free_port()
        self.station_port = free_port(socket.SOCK_DGRAM)
        self.http_port = free_port()
        self.gcs_watch_port = free_port(socket.SOCK_DGRAM)
        self.gcs_routes_port = free_port(socket.SOCK_DGRAM)
        self.endpoint_dir = os.path.join(self.data, "endpoint")
        os.makedirs(self.endpoint_dir, exist_ok=True)
        self.station_segments = []
        self.viewer_states = {}
        self.prepare_station_settings()
        self.start_broker()
        self.start_station()
        self.start_sim("sim-main", 1, MAIN_VEHICLES, 1)
        self.start_sim("sim-ten", 245, KILLED_VEHICLES, 2)
        self.start_fleetview()
        zones = os.path.join(self.data, "zones.json")
        with open(zones, "w") as f:
            json.dump([{"id": 1, "type": "circle", "center": [22.60, 113.99], "radius": 300},
                       {"id": 2, "type": "polygon", "points": [[22.61, 113.98], [22.61, 113.985], [22.615, 113.985]]}], f)
        self.call("nfz.import", {"path": zones})
        self.call("route.create", {"name": "soak line", "number": 1,
                                   "points": [{"lat": 22.5431, "lon": 113.9468, "alt": 20},
                                              {"lat": 22.5438, "lon": 113.9476, "alt": 25}]})
        self.start_gcs("gcs-watch", self.gcs_watch_port, "soakWatch", self.seconds)
        self.start_gcs("gcs-routes", self.gcs_routes_port, "soakRoutes", self.seconds)
        threading.Thread(target=self.watch_processes, daemon=True).start()
        # Viewer 0 is read here for the page samples; the other viewers and the CLI clients run in
        # processes of their own, so that one's Python work never shows as another's latency.
        threading.Thread(target=self.viewer, args=(0, False), daemon=True).start()
        me = os.path.abspath(__file__)
        common = ["--bin-dir", self.args.bin_dir, "--data-dir", self.data, "--http-port", str(self.http_port),
                  "--endpoint-dir", self.endpoint_dir]
        self.start("viewers", [sys.executable, me, "--role", "viewers"] + common)
        self.start("cli-clients", [sys.executable, me, "--role", "cli"] + common)

    def fault(self, name, fn):
        start = time.time()
        self.faults.append([start, None, name])
        self.log("fault: " + name)
        try:
            fn()
        finally:
            self.faults[-1][1] = time.time()

    def drop_link(self):
        self.stopped_sims = True
        for n in ("sim-main", "sim-ten"):
            self.procs[n].send_signal(signal.SIGSTOP)
        time.sleep(20)
        for n in ("sim-main", "sim-ten"):
            self.procs[n].send_signal(signal.SIGCONT)
        self.stopped_sims = False

    def kill_ten(self):
        self.killed_sim_down = True
        self.end("sim-ten", signal.SIGKILL)
        time.sleep(10)
        self.start_sim("sim-ten", 245, KILLED_VEHICLES, 3)
        self.killed_sim_down = False

    def restart_broker(self):
        self.end("mosquitto", signal.SIGTERM)
        time.sleep(5)
        self.start_broker()

    def vanish_gcs(self):
        # Mid-transfer: the routes ground station prints "transfer-start" as each one begins.
        path = os.path.join(self.logs, "gcs-routes.stdout")
        size = os.path.getsize(path)
        deadline = time.time() + 90
        while time.time() < deadline:
            with open(path) as f:
                f.seek(size)
                if '"step":"transfer-start"' in f.read():
                    break
            time.sleep(0.05)
        time.sleep(0.3)
        self.end("gcs-routes", signal.SIGKILL)
        time.sleep(3)
        self.start_gcs("gcs-routes", self.gcs_routes_port, "soakRoutes", max(10, int(self.t0 + self.seconds - time.time())))

    def kill_station(self):
        self.before_kill = self.station_state()
        self.end("station", signal.SIGKILL)
        self.killed_at = time.time()
        # Answers the simulator had already scheduled for the dead station (its jitter holds them
        # up to 50 ms) still go out and count as sent: read the counter once they have.
        time.sleep(1)
        self.sim_counters_now("at-kill")
        time.sleep(2)
        self.start_station()
        # Give the vehicles time to come back before the state is read again.
        time.sleep(15)
        self.after_restart = self.station_state()

    def run(self):
        self.setup()
        schedule = [(0.25, "vehicle link dropped for 20 s", self.drop_link),
                    (0.35, "ten vehicles killed and restarted", self.kill_ten),
                    (0.45, "broker restarted", self.restart_broker),
                    (0.55, "routes ground station vanished mid-transfer", self.vanish_gcs),
                    (0.70, "station", self.kill_station)]
        sample_every = 60 if self.seconds >= 1200 else 20
        next_sample = self.t0 + sample_every
        end = self.t0 + self.seconds
        while time.time() < end:
            self.proc_sample()
            if schedule and time.time() >= self.at(schedule[0][0]):
                _, name, fn = schedule.pop(0)
                self.fault(name, fn)
            if time.time() >= next_sample:
                self.page_sample()
                next_sample += sample_every
            time.sleep(1)
        self.proc_sample()
        self.stop.set()
        # The simulator first: its counters at exit are final, and the station still logs what
        # was on its way before it stops (and writes out its flight logs).
        self.end("sim-main")
        self.sim_final_counters()
        time.sleep(2)
        for name in ("cli-clients", "viewers", "gcs-watch", "gcs-routes", "fleetview", "sim-ten", "station", "mosquitto"):
            self.end(name)
        time.sleep(1)

    # --- the table ---------------------------------------------------------------------------
    def flight_rows(self):
        """Rows logged for the 243-vehicle simulator's vehicles, before the kill and after it, by the row's own time."""
        folder = os.path.join(self.data, "station", "data", "flightData")
        before = after = 0
        killed = getattr(self, "killed_at", None)
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            m = re.match(r"Flight_(\d+)_", name)
            if not m or int(m.group(1)) not in MAIN_IDS:
                continue
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                next(f, None)
                for line in f:
                    stamp = line.split("\t", 1)[0]
                    try:
                        t = time.mktime(time.strptime(stamp[:19], "%Y-%m-%d_%H:%M:%S")) + float("0" + stamp[19:])
                    except ValueError:
                        continue
                    if killed and t >= killed:
                        after += 1
                    else:
                        before += 1
        return before, after

    def transfers_from_log(self):
        path = os.path.join(self.logs, "gcs-routes.stdout")
        bad = []
        total = 0
        with open(path) as f:
            for line in f:
                try:
                    r = json.loads(line)
                except ValueError:
                    continue
                if r.get("step") != "transfer":
                    continue
                total += 1
                t0, t1 = r["start"] / 1000.0, r["t"] / 1000.0
                injected = any(s - 1 <= t1 and t0 <= (e or time.time()) + 30 for s, e, _ in self.faults)
                if not r.get("ok") and not injected:
                    bad.append(r)
        return total, bad

    def sanitizer_reports(self):
        n = 0
        for name in os.listdir(self.logs):
            path = os.path.join(self.logs, name)
            with open(path, errors="replace") as f:
                text = f.read()
            n += len(re.findall(r"ERROR: (Address|Leak)Sanitizer|runtime error:", text))
        return n

    def sanitizer_store(self):
        """What the last station's sanitizer held for itself when it exited (print_stats)."""
        if not self.args.sanitize or not self.station_segments:
            return ""
        path = os.path.join(self.logs, "asan.%d" % self.station_segments[-1]["pid"])
        text = open(path, errors="replace").read() if os.path.exists(path) else ""
        depot = re.search(r"StackDepot: (\d+) ids; (\d+)M allocated", text)
        heap = re.search(r"SizeClassAllocator64: (\d+)M mapped \((\d+)M rss\)", text)
        if not depot or not heap:
            return " (the last station printed no sanitizer statistics at exit)"
        return (" (the last station at exit: the sanitizer's heap %s MiB resident, its store of allocation "
                "stacks %s MiB for %s stacks)" % (heap.group(2), depot.group(2), depot.group(1)))

    @staticmethod
    def survived(before, after):
        """Everything stored before the SIGKILL is there after it, unchanged. The routes ground
        station goes on uploading, so routes added after the restart are no difference; the
        store's index lists them too and is left out."""
        if not before or not after:
            return False
        for rel, digest in before["files"].items():
            if not rel.endswith("index.fridx") and after["files"].get(rel) != digest:
                return False
        after_routes = {r.get("id"): r for r in after["routes"] or []}
        if any(after_routes.get(r.get("id")) != r for r in before["routes"] or []):
            return False
        return before["zones"] == after["zones"] and before["params"] is not None and before["params"] == after["params"]

    def read_cli_results(self):
        path = os.path.join(self.logs, "cli-clients.stdout")
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) not in (3, 4):
                    continue
                t, took, ok = float(parts[0]), float(parts[1]), parts[2] == "1"
                method = parts[3] if len(parts) == 4 else "?"
                if self.in_fault(t, "station"):
                    continue  # the station is down or restarting: neither latency nor error counts
                if ok:
                    self.cli_latencies.append(took)
                    self.cli_by_method.setdefault(method, []).append(took)
                else:
                    self.cli_errors += 1

    def table(self):
        self.read_cli_results()
        figures = []

        def add(name, value, bound, ok):
            figures.append({"figure": name, "value": value, "bound": bound, "met": bool(ok)})

        reports = self.sanitizer_reports()
        add("crashes, sanitizer reports", "%d, %d" % (len(self.crashes), reports), "0", not self.crashes and not reports)

        growth, fd_delta, thread_delta, live_growth = [], [], [], []
        warm = min(600, self.seconds / 5)
        for seg in self.station_segments:
            samples = seg["samples"]
            base = [s for s in samples if s[0] >= seg["start"] + warm]
            if len(base) < 2:
                continue
            first, last = base[0], base[-1]
            growth.append(100.0 * (last[1] - first[1]) / first[1])
            live = [s[4] for s in base if s[4]]
            if len(live) >= 2:
                live_growth.append((100.0 * (live[-1] - live[0]) / live[0], live[0] // 1024, live[-1] // 1024))
            fd_delta.append(last[2] - first[2])
            thread_delta.append(last[3] - first[3])
        add("station RSS growth from minute 10 to the end",
            (", ".join("%.1f %%" % g for g in growth) or "n/a") +
            ("; the station's own heap (the sanitizer's count) %s" %
             ", ".join("%+.1f %% (%d to %d MiB)" % g for g in live_growth) if live_growth else "") +
            self.sanitizer_store(),
            "under 10 %", growth and max(growth) < 10)
        add("descriptors and threads at the end vs minute 10",
            ", ".join("%+d / %+d" % (a, b) for a, b in zip(fd_delta, thread_delta)) or "n/a", "equal within 5",
            fd_delta and max(map(abs, fd_delta)) <= 5 and max(map(abs, thread_delta)) <= 5)

        lat = sorted(self.cli_latencies)
        if lat:
            p50 = lat[len(lat) // 2] * 1000
            p99 = lat[min(len(lat) - 1, int(len(lat) * 0.99))] * 1000
            mx = lat[-1] * 1000
            add("CLI answer p50 / p99 / max", "%.1f / %.1f / %.0f ms (%d answers, %d errors)" % (p50, p99, mx, len(lat),
                self.cli_errors), "under 20 ms / 200 ms / 2 s", p50 < 20 and p99 < 200 and mx < 2000 and not self.cli_errors)
        else:
            add("CLI answer p50 / p99 / max", "no answers", "under 20 ms / 200 ms / 2 s", False)

        unequal = [s for s in self.samples if not s["equal"]]
        add("vehicles shown alive on the page vs alive in the simulator",
            "%d of %d samples equal" % (len(self.samples) - len(unequal), len(self.samples)) +
            ("; " + ", ".join("%d vs %d at %.0f s" % (s["page"], s["sim"], s["at"]) for s in unequal) if unequal else ""),
            "equal within 2 s", self.samples and not unequal)

        before, after = self.flight_rows()
        sent_kill = self.sim_counters.get("at-kill", {}).get("statusRecordsOut")
        sent_end = self.sim_counters.get("end", {}).get("statusRecordsOut")
        if sent_kill is not None and sent_end is not None:
            lost_before = sent_kill - before
            lost_after = (sent_end - sent_kill) - after
            add("flight-log rows lost (sent vs logged)",
                "%d after the restart (of %d); %d before the SIGKILL (of %d; not bound: what was unread or "
                "not yet written when the process died goes with it)"
                % (lost_after, sent_end - sent_kill, lost_before, sent_kill), "0", lost_after == 0)
        else:
            add("flight-log rows lost (sent vs logged)", "simulator counters missing", "0", False)

        same = self.survived(getattr(self, "before_kill", None), getattr(self, "after_restart", None))
        add("routes, zones and parameters after the SIGKILL restart vs before", "identical" if same else "DIFFERENT",
            "identical", same)
        if not same and getattr(self, "before_kill", None):
            with open(os.path.join(self.data, "restart-state.json"), "w") as f:
                json.dump({"before": self.before_kill, "after": getattr(self, "after_restart", None)}, f, indent=1)

        total, bad = self.transfers_from_log()
        add("ground-station transfers that ended in an error other than the injected ones",
            "%d of %d" % (len(bad), total), "0", total > 0 and not bad)

        result = {"minutes": self.args.minutes, "sanitize": self.args.sanitize, "figures": figures,
                  "faults": [{"name": n, "at": round(s - self.t0, 1), "seconds": round((e or s) - s, 1)}
                             for s, e, n in self.faults],
                  "crashes": self.crashes, "pageSamples": self.samples, "badTransfers": bad,
                  # Detail for finding a missed bound: latency per CLI method, the station's RSS,
                  # descriptors and threads once a minute in each of its lives.
                  "cliByMethod": {m: {"answers": len(v), "p50_ms": round(sorted(v)[len(v) // 2] * 1000, 1),
                                      "p99_ms": round(sorted(v)[min(len(v) - 1, int(len(v) * 0.99))] * 1000, 1),
                                      "max_ms": round(max(v) * 1000, 1)} for m, v in self.cli_by_method.items()},
                  "stationSamples": [{"pid": seg["pid"],
                                      "perMinute": [{"at": round(t - self.t0), "rssKiB": r, "fds": fd, "threads": th,
                                                     "liveHeapKiB": live}
                                                    for i, (t, r, fd, th, live) in enumerate(seg["samples"])
                                                    if i == 0 or int(t - seg["start"]) // 60 !=
                                                    int(seg["samples"][i - 1][0] - seg["start"]) // 60]}
                                     for seg in self.station_segments]}
        lines = ["| figure | value | bound | met |", "|---|---|---|---|"]
        lines += ["| %s | %s | %s | %s |" % (f["figure"], f["value"], f["bound"], "yes" if f["met"] else "NO")
                  for f in figures]
        text = "\n".join(lines) + "\n"
        with open(os.path.join(self.data, "soak-report.json"), "w") as f:
            json.dump(result, f, indent=1)
        with open(os.path.join(self.data, "soak-report.txt"), "w") as f:
            f.write(text)
        print(text)
        return all(f["met"] for f in figures)


def helper_role(args):
    """The other nineteen viewers (three slow readers), or the ten CLI clients, until killed."""
    run = Run(args)
    run.http_port = args.http_port
    run.endpoint_dir = args.endpoint_dir
    run.viewer_states = {}
    if args.role == "viewers":
        threads = [threading.Thread(target=run.viewer, args=(i, i >= 17), daemon=True) for i in range(1, 20)]
        for t in threads:
            t.start()
        signal.signal(signal.SIGTERM, lambda *_: (sys.stdout.flush(), os._exit(0)))
    else:
        # Ten processes, as ten users' CLIs are: in one interpreter the clients would wait for each
        # other's turn at the interpreter lock, and that wait would be counted as the station's.
        class LineOut:
            def write(self, line):
                os.write(1, line.encode())  # one whole line per write: lines of the clients never mix
        children = []
        for i in range(10):
            pid = os.fork()
            if pid == 0:
                signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
                ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: go with the parent
                run.cli_client(i, LineOut())
                os._exit(0)
            children.append(pid)

        def stop_children(*_):
            for pid in children:
                try:
                    os.kill(pid, signal.SIGTERM)
                except OSError:
                    pass
            for pid in children:
                try:
                    os.waitpid(pid, 0)
                except OSError:
                    pass
            os._exit(0)
        signal.signal(signal.SIGTERM, stop_children)
    while True:
        time.sleep(1)
        sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=float, default=60)
    ap.add_argument("--sanitize", action="store_true")
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--data-dir", required=True)
    ap.add_argument("--role", default="run")
    ap.add_argument("--http-port", type=int)
    ap.add_argument("--endpoint-dir")
    args = ap.parse_args()
    if args.role != "run":
        helper_role(args)
        return
    run = Run(args)
    # The children have sessions of their own: a terminal's hang-up or a kill of this script must
    # still end them, through the finally below.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_, s=sig: sys.exit(128 + s))
    try:
        run.run()
    finally:
        run.stop.set()
        for name in list(run.procs):
            run.end(name, signal.SIGKILL, wait=5)
    ok = run.table()
    print("soak report: %s" % os.path.join(run.data, "soak-report.txt"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
