#!/usr/bin/env python3
"""End to end on Windows, under Wine: korvalis-asi.exe beside korvalis-sim.exe, on an X server of
its own with a window manager, looked at the way a user would. The instrument connects (the red
marker goes), its needles show the simulator's values as korvalis-render draws them, killing the
module brings the marker back, it reconnects when the module returns, and closing it writes
"Movrelin.ini" with CR LF line ends and the window's position.

usage: e2e_wine.py WINDOWS_BUILD_DIR [unittest arguments]

The programs run in a Wine prefix of their own (WINDOWS_BUILD_DIR/wine-e2e), whose server lives on
this test's X server. The reference pictures come from the Linux korvalis-render when a Linux
build has one (build/normal, which the test command builds first, or KORVALIS_LINUX_RENDER), else
from korvalis-render.exe.
"""

import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402
from harness import Display, Process, Scratch, own_settings, wait_for  # noqa: E402

BUILD = None

# Direct3D 9 through Wine and OpenGL filters the rotated needles a little differently from the
# Linux renderer: a pixel counts as different only beyond this step, and a few may differ.
PIXEL_TOLERANCE = 24
MOST_PIXELS = 0.005


def exe(name):
    for sub in ("", "tools/sim", "tools/render"):
        path = os.path.join(BUILD, sub, name + ".exe")
        if os.path.isfile(path):
            return path
    raise FileNotFoundError(name + ".exe")


def linux_renderer():
    path = os.environ.get("KORVALIS_LINUX_RENDER",
                          os.path.join(ROOT, "build", "normal", "tools", "render", "korvalis-render"))
    return path if os.access(path, os.X_OK) else None


class WineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = Display(window_manager=True)
        env = dict(cls.display.env)
        env.update(WINEPREFIX=os.path.join(BUILD, "wine-e2e"), WINEDEBUG="-all", WINEARCH="win64",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        cls.env = env
        # A server left by an interrupted run would still draw on its own, gone, X server.
        subprocess.run(["wineserver", "-k"], env=env, timeout=60, capture_output=True)
        subprocess.run([os.path.join(HERE, "wine-run"), "--init", BUILD], env=env, check=True,
                       timeout=400)
        # One server for the whole class, on this X server; ended with it.
        subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env, timeout=60)
        cls.display.close()

    def setUp(self):
        self.scratch = Scratch()
        self.addCleanup(self.scratch.remove)
        self.processes = []

    def tearDown(self):
        for process in self.processes:
            process.kill()
            process.log.close()
            if process.popen.stdin:
                process.popen.stdin.close()

    def start(self, name, *args, cwd=None):
        process = Process(["wine", exe(name), *args], self.env, cwd=cwd)
        self.processes.append(process)
        return process

    def start_sim(self, *args):
        sim = self.start("korvalis-sim", "--quiet", *args)
        # Its window is hidden: wait until it serves, seen from a client's side.
        time.sleep(1.0)
        return sim

    def start_instrument(self):
        process = self.start("korvalis-asi", cwd=self.scratch.path)
        window = self.display.find_window(harness.TITLE, seconds=60)
        time.sleep(1.0)  # the first frames after the window maps
        return process, window

    def reference(self, *args):
        path = os.path.join(self.scratch.path, "reference.png")
        renderer = linux_renderer()
        if renderer is not None:
            subprocess.run([renderer, *args, "-o", path], check=True, timeout=60,
                           env=self.display.env, capture_output=True)
        else:
            subprocess.run(["wine", exe("korvalis-render"), *args, "-o", path], check=True,
                           timeout=120, env=self.env, capture_output=True, cwd=self.scratch.path)
        return harness.Image.from_png(path)

    def client(self, window):
        return self.display.client_image(window)

    def looks_like(self, window, reference):
        fraction, _ = harness.difference(self.client(window), reference, PIXEL_TOLERANCE)
        return fraction <= MOST_PIXELS

    def wait_until_looks_like(self, window, reference, what, seconds):
        try:
            wait_for(lambda: self.looks_like(window, reference), seconds, what, step=0.3)
        except harness.Timeout:
            got = self.client(window)
            fraction, largest = harness.difference(got, reference, PIXEL_TOLERANCE)
            keep = tempfile.mkdtemp(prefix="korvalis-wine-e2e-")
            got.save(os.path.join(keep, "screen.ppm"))
            reference.save(os.path.join(keep, "reference.ppm"))
            self.fail(f"{what}: {fraction:.2%} of the pixels differ (largest step {largest}); "
                      f"pictures kept in {keep}")

    def test_connects_follows_loses_reconnects_and_saves(self):
        self.scratch.write_settings(own_settings(1, 140, 90))
        asi, window = self.start_instrument()
        _, _, width, height = self.display.client_geometry(window)
        self.assertEqual((width, height), (harness.CLIENT, harness.CLIENT), "client area")
        wait_for(lambda: harness.marker_shown(self.client(window)), 10, "the marker, no module")

        sim = self.start_sim("--ias", "150", "--max", "259", "--lights", "0")
        reference = self.reference("--ias", "150", "--max", "259")
        self.assertFalse(harness.marker_shown(reference))
        started = time.monotonic()
        self.wait_until_looks_like(window, reference, "the simulator's values", 10)
        connected_after = time.monotonic() - started

        sim.kill()
        lost = time.monotonic()
        wait_for(lambda: harness.marker_shown(self.client(window)), 5, "the marker after the kill",
                 step=0.1)
        marker_after = time.monotonic() - lost
        self.wait_until_looks_like(window, self.reference("--ias", "150", "--max", "259",
                                                          "--offline"),
                                   "offline at the last values", 3)

        sim = Process(["wine", exe("korvalis-sim"), "--quiet", "--stdin", "--ias", "250", "--max",
                       "280", "--lights", "0x20"], self.env, stdin=subprocess.PIPE)
        self.processes.append(sim)
        self.wait_until_looks_like(window, self.reference("--ias", "250", "--max", "280",
                                                          "--lights", "0x20"),
                                   "after reconnecting, with the lighting", 10)
        # Values typed into the module's standard input reach the needles.
        sim.popen.stdin.write(b"ias=95.5 max=210 lights=0\n")
        sim.popen.stdin.flush()
        self.wait_until_looks_like(window, self.reference("--ias", "95.5", "--max", "210"),
                                   "the values from standard input", 5)
        print(f"connected in {connected_after:.2f} s, marker back {marker_after:.2f} s after the "
              "kill", file=sys.stderr)

        # Where the client area lies below the stored outer corner: the frame Windows would draw.
        client_x, client_y, _, _ = self.display.client_geometry(window)
        frame = (client_x - 140, client_y - 90)
        self.assertTrue(0 <= frame[0] <= 20 and 0 <= frame[1] <= 60, f"frame {frame}")

        # Moved by the user, then closed with the close box: the new position is saved.
        self.display.run("xdotool", "windowmove", window, "300", "200", check=True)
        wait_for(lambda: self.display.client_geometry(window)[:2] == (300, 200), 5, "the move")
        client_moved = self.display.client_geometry(window)
        time.sleep(0.5)  # the frame loop takes one event every iteration
        self.display.run("wmctrl", "-i", "-c", window, check=True)
        self.assertEqual(asi.exit_code(20), 0, asi.output())
        saved = self.scratch.settings()
        self.assertIsNotNone(saved)
        lines = saved.split(b"\r\n")
        self.assertEqual(lines[:2], [b"[system]", b"light = 1"], saved)
        self.assertNotIn(b"\n", b"".join(lines), "every line ends in CR LF")
        x = int(lines[2].split(b"=")[1])
        y = int(lines[3].split(b"=")[1])
        self.assertEqual(lines[2:], [b"PosWindowX = %d" % x, b"PosWindowY = %d" % y, b""])
        self.assertEqual((x, y), (300 - frame[0], 200 - frame[1]), "the outer corner, saved")

        # The saved pair puts the window back on the same pixels.
        asi, window = self.start_instrument()
        wait_for(lambda: self.display.client_geometry(window) == client_moved, 5,
                 f"the window back at {client_moved} (saved {x}, {y})")
        self.display.run("wmctrl", "-i", "-c", window, check=True)
        self.assertEqual(asi.exit_code(20), 0, asi.output())
        self.assertEqual(self.scratch.settings(), saved, "closed unmoved: the same file")

    def test_no_accelerated_drawing_shows_the_error_and_keeps_the_settings(self):
        # Without Direct3D and OpenGL SDL has only its software renderer, which the instrument
        # does not take: the one message of the program, then the end, the settings untouched.
        settings = own_settings(0, 50, 60)
        self.scratch.write_settings(settings)
        env = dict(self.env, WINEDLLOVERRIDES="mscoree,mshtml=;d3d9,d3d11,d3d12,dxgi,opengl32=")
        asi = Process(["wine", exe("korvalis-asi")], env, cwd=self.scratch.path)
        self.processes.append(asi)
        box = self.display.find_window("Erreur", seconds=60)
        self.assertIsNone(asi.exit_code(1), "the box waits for the user")
        self.display.run("wmctrl", "-i", "-c", box, check=True)
        self.assertEqual(asi.exit_code(20), 0, asi.output())
        self.assertEqual(self.scratch.settings(), settings)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
