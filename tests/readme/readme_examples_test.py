#!/usr/bin/env python3
"""Every velmora-cli example of the README, run in README order against a station.

Extracts each `velmora-cli ...` (or `build/tools/cli/velmora-cli ...`) command from the README's
```sh blocks and runs it against velmora-station with two simulated vehicles (ids 1 and 2, codes
VC-001 and VC-002), velmora-cloud-sim and a mosquitto broker, as written, with the README's
placeholders filled from earlier answers and its paths moved into a scratch directory.

An example must exit 0 unless its own comment says otherwise ("exit 1"); `watch` and
`console --follow` run until Ctrl+C, so they get SIGINT after a moment and must still be running
then. One refused because the vehicle's previous parameter request still runs is sent again until
that one ends, as a reader would. Examples that cannot run here are listed in NOT_RUN with the
reason. It ends with a summary.

  readme_examples_test.py --station BIN --sim BIN --cli BIN --cloud BIN [--readme README.md] [--keep]
"""
import argparse
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

CLI_NAMES = ("velmora-cli", "build/tools/cli/velmora-cli")
# Examples that are shown but not run, by the text of their command: (command, reason).
NOT_RUN = []
EXAMPLE_TIMEOUT_S = 25
INTERRUPT_AFTER_S = 1.0
BUSY = r"A parameter operation is in progress|No-fly-zone sync already in progress"
ACCOUNT = ("pilot@example.com", "readme-pass")


class Example:
    def __init__(self, line, section, argv, comment):
        self.line, self.section, self.argv, self.comment = line, section, argv, comment

    def text(self):
        return re.sub(r"\s+", " ", " ".join(shlex.quote(a) for a in self.argv))

    def expected_exit(self):
        match = re.search(r"\bexit (\d+)", self.comment)
        return int(match.group(1)) if match else 0

    def runs_until_interrupted(self):
        args = self.argv[1:]
        return args[:1] == ["watch"] or args[:2] == ["console", "--follow"]


def split_comment(logical):
    """The command and its trailing `# comment`: a # outside quotes after a blank or at the start."""
    quote = None
    for i, c in enumerate(logical):
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c == "#" and (i == 0 or logical[i - 1].isspace()):
            return logical[:i], logical[i + 1:].strip()
    return logical, ""


def complete(command):
    try:
        shlex.split(command)
        return not command.rstrip().endswith("\\")
    except ValueError:  # a quote still open: a JSON argument going on on the next line
        return False


def extract(readme_path):
    """Every velmora-cli example of the README's sh blocks, in order."""
    examples, section, block, pending, start = [], "", False, "", 0
    with open(readme_path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        if not block:
            if line.startswith("#"):
                section = line.lstrip("#").strip()
            block = line.strip() == "```sh"
            continue
        if line.strip() == "```" and not pending:
            block = False
            continue
        if not pending:
            start = number
        pending += line + "\n"
        command, comment = split_comment(pending)
        if not complete(command):
            continue
        pending = ""
        lexer = shlex.shlex(command, posix=True, punctuation_chars="&|;")
        lexer.whitespace_split = True
        tokens = list(lexer)
        # `a && b` is two examples; the comment belongs to the last one.
        parts, current = [], []
        for token in tokens:
            if token in ("&&", "||", ";", "&", "|"):
                parts.append(current)
                current = []
            else:
                current.append(token)
        parts.append(current)
        for i, argv in enumerate(parts):
            while argv and re.match(r"^[A-Z_]+=", argv[0]):
                argv = argv[1:]
            if argv and argv[0] in CLI_NAMES:
                examples.append(Example(start, section, argv, comment if i == len(parts) - 1 else ""))
    if pending:
        raise SystemExit("README line %d: a command that never ends (an open quote?)" % start)
    return examples


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, condition, timeout_s, step_s=0.1):
    deadline = time.monotonic() + timeout_s
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(step_s)


def firmware_image(version="V2.2.0", body_size=2048):
    """The image layout the simulated vehicle takes (docs/FORMATS.md)."""
    data = b"VLFW" + version.encode("ascii") + bytes(i % 251 for i in range(body_size))
    return data + struct.pack("<I", zlib.crc32(data))


ZONES = [
    {"id": 7, "type": "polygon", "points": [[22.5500, 113.9550], [22.5500, 113.9560], [22.5510, 113.9560]]},
    {"id": 8, "type": "circle", "center": [22.5520, 113.9580], "radius": 60},
]


class Rig:
    """The programs the examples talk to, each in a session of its own, all killed at the end."""

    def __init__(self, args, scratch):
        self.args, self.scratch = args, scratch
        self.children = []
        self.env = dict(os.environ, TMPDIR=os.path.join(scratch, "tmp"),
                        XDG_RUNTIME_DIR=os.path.join(scratch, "runtime"), VELMORA_PASSWORD=ACCOUNT[1],
                        QT_QPA_PLATFORM="offscreen")
        for d in ("tmp", "runtime", "routes", "mosquitto"):
            os.makedirs(os.path.join(scratch, d), mode=0o700, exist_ok=True)

    def start(self, name, argv, cwd=None):
        out = open(os.path.join(self.scratch, name + ".out"), "wb")
        err = open(os.path.join(self.scratch, name + ".err"), "wb")
        process = subprocess.Popen(argv, stdout=out, stderr=err, env=self.env, cwd=cwd or self.scratch,
                                   start_new_session=True)
        self.children.append((name, process))
        return process

    def first_line(self, name, process, timeout_s=15):
        path = os.path.join(self.scratch, name + ".out")

        def line():
            if process.poll() is not None:
                raise AssertionError("%s exited with %s:\n%s" % (name, process.returncode, self.tail(name)))
            with open(path, errors="replace") as f:
                text = f.read()
            return text.split("\n")[0] if "\n" in text else None
        return wait_until(name + "'s first line", line, timeout_s)

    def tail(self, name):
        text = ""
        for ext in (".out", ".err"):
            try:
                with open(os.path.join(self.scratch, name + ext), errors="replace") as f:
                    text += f.read()[-1500:]
            except OSError:
                pass
        return text

    def cli(self, *argv):
        result = subprocess.run([self.args.cli, "--json", *argv], env=self.env, capture_output=True, timeout=15)
        try:
            return json.loads(result.stdout)
        except ValueError:
            return {}

    def stop(self):
        for _, process in self.children:
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        deadline = time.monotonic() + 5
        for _, process in self.children:
            try:
                process.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()

    def bring_up(self):
        s = self.scratch
        with open(os.path.join(s, "zones.json"), "w") as f:
            json.dump(ZONES, f)
        with open(os.path.join(s, "fw-v2.2.0.bin"), "wb") as f:
            f.write(firmware_image())

        # The cloud's broker (remote monitoring), configured as scripts/demo.sh does.
        mqtt_port = free_port()
        passwd = os.path.join(s, "mosquitto", "passwd")
        for i, (user, password) in enumerate((("station", "station-pw"), ("vehicle", "vehicle-pw"))):
            subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if i == 0 else []) + [passwd, user, password],
                           check=True, capture_output=True)
        conf = os.path.join(s, "mosquitto", "mosquitto.conf")
        with open(conf, "w") as f:
            # Started as root, mosquitto would drop to a user that cannot read this directory.
            f.write("listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\npersistence false\nuser %s\n"
                    % (mqtt_port, passwd, os.environ.get("USER") or subprocess.getoutput("id -un")))
        broker = self.start("mosquitto", ["mosquitto", "-c", conf])

        def broker_up():
            if broker.poll() is not None:
                raise AssertionError("mosquitto exited:\n" + self.tail("mosquitto"))
            try:
                socket.create_connection(("127.0.0.1", mqtt_port), 0.5).close()
                return True
            except OSError:
                return False
        wait_until("mosquitto", broker_up, 10)
        mqtt = "tcp://127.0.0.1:%d" % mqtt_port

        cloud = self.start("cloud", [self.args.cloud, "--port", "0", "--zones", os.path.join(s, "zones.json"),
                                     "--account", "%s:%s" % ACCOUNT,
                                     "--account-vehicle", "%s:VC-001:North:1" % ACCOUNT[0]])
        self.cloud_url = "http://127.0.0.1:" + re.search(r"(\d+)\s*$", self.first_line("cloud", cloud)).group(1)

        # One simulator behind the link's one vehicle port (connection.connect's vehiclePort), the quick
        # start's --udp port; the codes come from its parameter file.
        codes = os.path.join(s, "sim-params.json")
        with open(codes, "w") as f:
            json.dump({"vehicles": {"1": {"code": "VC-001"}, "2": {"code": "VC-002"}}}, f)
        self.link_port = free_port(socket.SOCK_DGRAM)
        sim = self.start("sim", [self.args.sim, "--udp", "127.0.0.1:%d" % self.link_port, "--listen", "0",
                                 "--count", "2", "--params-file", codes, "--heartbeat-ms", "200", "--fix-after-s", "0",
                                 "--fw-final-delay-ms", "50", "--reboot-ms", "300"])
        self.sim_port = int(self.first_line("sim", sim))
        # VC-001 also reports through the cloud's broker, for `remote VC-001`.
        self.start("remote-sim", [self.args.sim, "--mqtt", mqtt, "--mqtt-user", "vehicle", "--mqtt-password",
                                  "vehicle-pw", "--vehicle-code", "VC-001", "--mqtt-rate-hz", "10"])
        station = self.start("station", [self.args.station, "--data-dir", os.path.join(s, "station"), "--udp",
                                         str(self.link_port), "--cloud-url", self.cloud_url, "--mqtt", mqtt,
                                         "--mqtt-user", "station", "--mqtt-password", "station-pw"])
        wait_until("the station", lambda: station.poll() is None and self.cli("system.ping").get("ok"), 15)

        def alive(ids):
            vehicles = self.cli("vehicle.list").get("data", {}).get("vehicles", [])
            return {v["vehicleId"] for v in vehicles if v.get("alive")} >= set(ids)

        def ready():
            status = self.cli("connection.status").get("data", {})
            alerts = self.cli("alerts.active").get("data", {}).get("alerts", [])
            return alive([1, 2]) and status.get("activeVehicleId") == 2 and \
                not any(a.get("level") == "Critical" for a in alerts)
        wait_until("vehicles 1 and 2 alive, 2 active, no critical alert", ready, 20)

    def captcha(self):
        # account.vehicles.captcha answers once the request is sent; the e-mail comes later, so wait for it
        # as its reader would.
        def received():
            with urllib.request.urlopen(self.cloud_url + "/sim/received", timeout=5) as answer:
                return json.load(answer)["captchas"]
        return wait_until("the cloud service to send a captcha", received, 5)[-1]["code"]


class Runner:
    def __init__(self, rig):
        self.rig = rig
        self.route_id = None
        self.request_id = None
        s = rig.scratch
        self.paths = {"/data/zones.json": os.path.join(s, "zones.json"), "/tmp/routes": os.path.join(s, "routes"),
                      "/tmp/line.geojson": os.path.join(s, "line.geojson"),
                      "/data/fw-v2.2.0.bin": os.path.join(s, "fw-v2.2.0.bin"),
                      "/dev/ttyUSB0": os.path.join(s, "ttyUSB0")}  # a device that is not there

    def fill(self, arg):
        """The argument with the README's placeholders, ports and paths made real."""
        with open(os.path.join(self.rig.scratch, "fw-v2.2.0.bin"), "rb") as f:
            sha = hashlib.sha256(f.read()).hexdigest()
        values = {"<sim port>": lambda: str(self.rig.sim_port), "<id>": lambda: self.route_id,
                  "<requestId>": lambda: self.request_id, "<sha256>": lambda: sha,
                  "<captcha>": self.rig.captcha}
        for placeholder in re.findall(r"<[^<>\s\"']+(?: [^<>\"']+)?>", arg):
            if placeholder not in values:
                raise AssertionError("unknown placeholder %s" % placeholder)
            value = values[placeholder]()
            if value is None:
                raise AssertionError("no earlier answer gives %s" % placeholder)
            arg = arg.replace(placeholder, value)
        for readme_path, path in self.paths.items():
            arg = arg.replace(readme_path, path)
        # The README's link port is 14600; here it is a free one.
        return re.sub(r'("localPort":\s*)14600\b', r"\g<1>%d" % self.rig.link_port, arg)

    def run(self, example):
        """None when the example did what the README says, else why not."""
        argv = [self.rig.args.cli] + [self.fill(a) for a in example.argv[1:]]
        if example.runs_until_interrupted():
            process = subprocess.Popen(argv, env=self.rig.env, cwd=self.rig.scratch, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, start_new_session=True)
            try:
                out, err = process.communicate(timeout=INTERRUPT_AFTER_S)
                return "ended by itself (exit %d) before Ctrl+C:\n%s%s" % (process.returncode, out.decode(),
                                                                            err.decode())
            except subprocess.TimeoutExpired:
                process.send_signal(signal.SIGINT)
                try:
                    out, err = process.communicate(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.communicate()
                    return "still running 5 s after Ctrl+C"
            if not out.strip():
                return "printed nothing before Ctrl+C:\n" + err.decode()
            return None
        deadline = time.monotonic() + EXAMPLE_TIMEOUT_S
        while True:
            try:
                result = subprocess.run(argv, env=self.rig.env, cwd=self.rig.scratch, capture_output=True,
                                        timeout=EXAMPLE_TIMEOUT_S, start_new_session=True)
            except subprocess.TimeoutExpired:
                return "no end within %d s" % EXAMPLE_TIMEOUT_S
            # A reader sends the next parameter request once the last one ended, and the next zone command
            # once nfz.sync (answered at once) is done; so does this, by retrying while the station says busy.
            if not re.search(BUSY, result.stderr.decode(errors="replace")) or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        out, err = result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")
        if example.argv[1:2] == ["route.create"]:
            match = re.search(r"^id:\s+(\S+)", out, re.M)
            self.route_id = match.group(1) if match else None
        ids = re.findall(r"requestId:?\s+(\d+)", out)
        if ids:
            self.request_id = ids[-1]
        expected = example.expected_exit()
        if result.returncode != expected:
            return "exit %d, the README says %d\n%s%s" % (result.returncode, expected, out[-1500:], err[-1500:])
        return None


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("station", "sim", "cli", "cloud"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--readme", default=os.path.join(here, "..", "..", "README.md"))
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    args = parser.parse_args()
    args.station, args.sim, args.cli, args.cloud = map(os.path.abspath, (args.station, args.sim, args.cli, args.cloud))

    examples = extract(args.readme)
    if not examples:
        print("FAIL: no velmora-cli example in " + args.readme)
        return 1
    scratch = tempfile.mkdtemp(prefix="velmora-readme-")
    rig = Rig(args, scratch)
    failures, ran, expected_failures, interrupted, not_run = [], 0, 0, 0, []
    began = time.monotonic()
    # ctest ends a test that runs over its time with SIGTERM: the children still go.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        rig.bring_up()
        runner = Runner(rig)
        for example in examples:
            skip = [reason for command, reason in NOT_RUN if command == example.text()]
            if skip:
                not_run.append((example, skip[0]))
                continue
            try:
                problem = runner.run(example)
            except AssertionError as e:
                problem = str(e)
            ran += 1
            interrupted += example.runs_until_interrupted()
            expected_failures += example.expected_exit() != 0
            status = "ok  " if problem is None else "FAIL"
            print("%s README:%-4d %s" % (status, example.line, example.text()), flush=True)
            if problem:
                failures.append(example)
                print("      " + problem.rstrip().replace("\n", "\n      "), flush=True)
    except AssertionError as e:
        print("FAIL: " + str(e))
        failures.append(None)
    finally:
        rig.stop()
    print("\n%d examples in %s: ran %d (%d until Ctrl+C), expected failures %d, not run %d, failed %d, %.1f s"
          % (len(examples), os.path.normpath(args.readme), ran, interrupted, expected_failures, len(not_run),
             len(failures), time.monotonic() - began))
    for example, reason in not_run:
        print("  not run: README:%d %s: %s" % (example.line, example.text(), reason))
    for example in failures:
        if example:
            print("  failed: README:%d (%s) %s" % (example.line, example.section, example.text()))
    if failures:
        print("programs' output kept in " + scratch)
    elif args.keep:
        print("scratch directory kept: " + scratch)
    else:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
