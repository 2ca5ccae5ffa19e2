#!/usr/bin/env python3
"""The instrument against a simulator nobody here wrote: FlightGear flies the c172p in the air,
streams to korvalis-fgbridge with the generic protocol, and korvalis-asi shows it. The airspeed
needle must land where the dial's calibration puts the airspeed FlightGear reports (read from
FlightGear itself, over its telnet property server), the panel lights must follow the aircraft's
instrument-lights knob, and killing FlightGear must bring the not-connected marker back.

One FlightGear start serves every check (it takes tens of seconds).

usage: test_flightgear.py BIN_DIR SOURCE_DIR [unittest arguments]
Exits 77 (skipped) when FlightGear is not installed."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BIN = SOURCE = None
FGFS = shutil.which("fgfs") or "/usr/games/fgfs"
FG_ROOT = os.environ.get("FG_ROOT", "/usr/share/games/flightgear")
SKIP = 77

# FlightGear's start-up, cold (navigation data cache built afresh): about 30 s on two cores.
STREAM_TIMEOUT_S = 300

# The dial's printed scale (kt -> degrees). Between breakpoints the instrument interpolates the
# ratio knots/degrees; this is the same rule, for measuring, not the program's own code.
SCALE = [(0, 0), (40, 15), (50, 28), (60, 43), (70, 62), (80, 79), (100, 114), (110, 132),
         (120, 146), (130, 158), (140, 174), (160, 193), (180, 213), (200, 235), (220, 252),
         (240, 274), (260, 295), (280, 315), (300, 337)]


def dial_angle(knots):
    a = abs(knots)
    if a <= 40:
        ratio = 40 / 15
    elif a > 300:
        ratio = 300 / 337
    else:
        for (k0, d0), (k1, d1) in zip(SCALE[1:], SCALE[2:]):
            if a <= k1:
                r0, r1 = k0 / d0, k1 / d1
                ratio = r0 + (a - k0) * (r1 - r0) / (k1 - k0)
                break
    return (a / ratio) * (1 if knots >= 0 else -1)


def program(name):
    for sub in ("", "tools/fgbridge", "tools/render"):
        candidate = os.path.join(BIN, sub, name)
        if os.access(candidate, os.X_OK):
            return candidate
    raise FileNotFoundError(name)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PropertyServer:
    """FlightGear's telnet property server, in data mode (no prompts)."""

    def __init__(self, port, seconds):
        self.sock = harness.wait_for(lambda: self._connect(port), seconds,
                                     "FlightGear's property server", step=0.5)
        self.sock.sendall(b"data\r\n")
        self.pending = b""

    @staticmethod
    def _connect(port):
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=30)
        except OSError:
            return None

    def get(self, path):
        self.sock.sendall(f"get {path}\r\n".encode())
        while b"\n" not in self.pending:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("FlightGear closed its property server")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode().strip()

    def number(self, path):
        return float(self.get(path) or "0")

    def set(self, path, value):
        self.sock.sendall(f"set {path} {value}\r\n".encode())

    def close(self):
        self.sock.close()


class FlightGearTest(unittest.TestCase):
    def setUp(self):
        self.processes = []
        self.fg_display = harness.Display(size="640x480")
        self.addCleanup(self.fg_display.close)
        self.display = harness.Display()
        self.addCleanup(self.display.close)
        self.scratch = harness.Scratch()
        self.addCleanup(self.scratch.remove)
        self.fg_home = tempfile.mkdtemp(prefix="korvalis-fg-home-")
        self.addCleanup(shutil.rmtree, self.fg_home, True)

    def tearDown(self):
        for process in reversed(self.processes):
            process.kill()

    def start(self, args, display, env=None, cwd=None):
        process = harness.Process(args, env or display.env, cwd=cwd)
        self.processes.append(process)
        return process

    def start_bridge(self):
        bridge = self.start([program("korvalis-fgbridge"), "--port", "0", "--quiet"],
                            self.display)
        match = harness.wait_for(
            lambda: re.search(r"listening on 127\.0\.0\.1:(\d+)", bridge.output()), 10,
            "the bridge to listen")
        return bridge, int(match.group(1))

    def start_flightgear(self, udp_port, telnet_port):
        env = dict(self.fg_display.env, FG_HOME=self.fg_home, FG_ROOT=FG_ROOT)
        # In the air at a set speed, with everything that slows the start or the frames off:
        # nobody looks at FlightGear's own window here, only at the instrument.
        args = ["dbus-run-session", "--", FGFS, "--aircraft=c172p", "--in-air",
                "--altitude=3000", "--vc=100", "--timeofday=noon", "--disable-sound",
                "--disable-ai-traffic", "--disable-real-weather-fetch", "--disable-terrasync",
                "--disable-splash-screen", "--disable-clouds", "--disable-clouds3d",
                "--fog-disable", "--disable-random-objects", "--disable-random-vegetation",
                "--disable-random-buildings", "--disable-panel", "--disable-hud",
                "--geometry=320x240", "--max-fps=30",
                "--prop:/sim/rendering/draw-mask/terrain=false",
                "--prop:/sim/rendering/draw-mask/models=false",
                "--prop:/sim/rendering/draw-mask/aircraft=false",
                "--prop:/sim/rendering/draw-mask/clouds=false",
                "--prop:/sim/rendering/shaders/skydome=false",
                # Mesa's software shader compiler crashes on some of FlightGear's shaders.
                "--prop:/sim/rendering/shaders/quality-level=0",
                f"--generic=socket,out,20,127.0.0.1,{udp_port},udp,korvalis",
                f"--telnet={telnet_port}"]
        return self.start(args, self.fg_display, env)

    def client(self, window):
        return self.display.client_image(window)

    def render(self, knots, max_knots, lights, offline=False):
        path = os.path.join(self.scratch.path, "reference.png")
        args = [program("korvalis-render"), "--ias", f"{knots:.4f}", "--max", f"{max_knots:.4f}",
                "--lights", f"{lights:x}", "--light-enabled", "1", "-o", path]
        if offline:
            args.append("--offline")
        subprocess.run(args, check=True, timeout=60, env=self.display.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return harness.Image.from_png(path)

    def measure_needle(self, picture, around_knots, max_knots, lights):
        """The airspeed whose rendering matches the picture best, searched around a value:
        whole knots first, then quarter knots. Returns (knots, fraction of differing pixels)."""
        def fit(knots):
            return harness.difference(picture, self.render(knots, max_knots, lights))[0]
        coarse = min((fit(around_knots + d), around_knots + d) for d in range(-6, 7))
        fine = min((fit(coarse[1] + q / 4), coarse[1] + q / 4) for q in range(-3, 4))
        return fine[1], fine[0]

    def pause(self, props, paused):
        # The flight model and the simulation clock both: with the clock running, the aircraft
        # would fly on under a frozen master switch.
        word = "true" if paused else "false"
        props.set("/sim/freeze/master", word)
        props.set("/sim/freeze/clock", word)
        harness.wait_for(lambda: props.get("/sim/freeze/clock") == word, 10,
                         "FlightGear's pause", step=0.2)

    def check_needle(self, props, window, lights_knob, what):
        """Pauses FlightGear (its output keeps streaming, the values hold still), then compares
        the instrument with FlightGear's own reading."""
        props.set("/controls/lighting/instruments-norm", lights_knob)
        self.pause(props, True)
        time.sleep(1.0)  # the stream and the instrument catch up with the paused values
        ias = props.number("/instrumentation/airspeed-indicator/indicated-speed-kt")
        vne = props.number("/limits/vne")
        picture = self.client(window)
        self.assertEqual(props.number("/instrumentation/airspeed-indicator/indicated-speed-kt"),
                         ias, "FlightGear's airspeed moved while paused")
        lights = 0x20 if lights_knob > 0 else 0
        measured, fraction = self.measure_needle(picture, ias, vne, lights)
        error = dial_angle(measured) - dial_angle(ias)
        print(f"{what}: FlightGear {ias:.3f} kt (vne {vne:g}), needle shows {measured:.2f} kt, "
              f"{error:+.2f} degrees off; {fraction:.3%} of the pixels differ from that frame",
              file=sys.stderr)
        if abs(error) > 1.5 or fraction > 0.002:
            keep = tempfile.mkdtemp(prefix="korvalis-fg-failure-")
            picture.save(os.path.join(keep, "screen.ppm"))
            self.render(ias, vne, lights).save(os.path.join(keep, "reference.ppm"))
            self.fail(f"{what}: needle at {measured:.2f} kt for FlightGear's {ias:.3f} kt "
                      f"({error:+.2f} degrees), {fraction:.2%} differing; pictures in {keep}")
        self.pause(props, False)
        return ias, vne, lights

    def test_flies_the_instrument_and_lets_go_when_flightgear_ends(self):
        bridge, udp_port = self.start_bridge()
        self.scratch.write_settings(harness.own_settings(1, 0, 0))
        self.start([program("korvalis-asi")], self.display, cwd=self.scratch.path)
        window = self.display.find_window(harness.TITLE)
        time.sleep(0.5)
        self.assertTrue(harness.marker_shown(self.client(window)), "offline before FlightGear")

        started = time.monotonic()
        telnet_port = free_port(socket.SOCK_STREAM)
        fg = self.start_flightgear(udp_port, telnet_port)
        try:
            harness.wait_for(lambda: "serving" in bridge.output() or fg.popen.poll() is not None,
                             STREAM_TIMEOUT_S, "FlightGear's stream", step=0.5)
        except harness.Timeout:
            self.fail("no packet from FlightGear; its output ends with:\n" + fg.output()[-3000:])
        self.assertIsNone(fg.popen.poll(), "FlightGear ended:\n" + fg.output()[-3000:])
        streaming_after = time.monotonic() - started
        props = PropertyServer(telnet_port, 60)
        self.addCleanup(props.close)
        # The flight model starts a moment after the stream: wait until the aircraft flies.
        harness.wait_for(
            lambda: props.number("/instrumentation/airspeed-indicator/indicated-speed-kt") > 40,
            60, "the aircraft to fly", step=0.5)
        harness.wait_for(lambda: not harness.marker_shown(self.client(window)), 5,
                         "the instrument to connect", step=0.1)
        print(f"FlightGear streamed {streaming_after:.1f} s after its start", file=sys.stderr)

        first = self.check_needle(props, window, 0.0, "lights off")
        time.sleep(3)  # flying on: the c172p's speed swings by several knots within seconds
        ias, vne, lights = self.check_needle(props, window, 0.8, "instrument lights on")
        self.assertEqual(lights, 0x20)
        self.assertNotAlmostEqual(first[0], ias, places=1, msg="the airspeed did not change")

        # Lights off (the glow tints the marker) and paused, so that the last values are known;
        # then FlightGear goes away without a word.
        props.set("/controls/lighting/instruments-norm", 0.0)
        self.pause(props, True)
        time.sleep(1.0)
        ias = props.number("/instrumentation/airspeed-indicator/indicated-speed-kt")
        offline = self.render(ias, vne, 0, offline=True)
        fg.kill()
        killed = time.monotonic()
        try:
            harness.wait_for(lambda: harness.marker_shown(self.client(window)), 10,
                             "the marker after FlightGear ended", step=0.05)
        except harness.Timeout:
            self.fail("no marker after FlightGear ended; the bridge said:\n" + bridge.output())
        marker_after = time.monotonic() - killed
        print(f"marker back {marker_after:.2f} s after FlightGear was killed", file=sys.stderr)
        self.assertLess(marker_after, 4.0)
        self.assertIn("withdrawn", bridge.output())
        # Offline, the needles keep FlightGear's last values.
        fraction, _ = harness.difference(self.client(window), offline)
        self.assertLessEqual(fraction, 0.002, "offline at FlightGear's last values")


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    SOURCE = os.path.abspath(sys.argv.pop(1))
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    import harness  # noqa: E402  (the end-to-end helpers, shared)
    if not os.access(FGFS, os.X_OK):
        print("FlightGear is not installed (scripts/flightgear --install): skipped")
        sys.exit(SKIP)
    installed = os.path.join(FG_ROOT, "Protocol", "korvalis.xml")
    ours = os.path.join(SOURCE, "tools", "fgbridge", "korvalis.xml")
    if not os.path.exists(installed) or open(installed, "rb").read() != open(ours, "rb").read():
        print(f"{installed} is missing or not the project's korvalis.xml: "
              "run scripts/flightgear --install")
        sys.exit(1)
    unittest.main()
