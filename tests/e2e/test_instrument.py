#!/usr/bin/env python3
"""End-to-end tests: the real korvalis-asi, under an X server of its own, beside the real
korvalis-sim, driven and looked at the way a user would.

usage: test_instrument.py BIN_DIR [unittest arguments]"""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import Display, Process, Scratch, own_settings, wait_for

BIN = None


def program(name):
    for candidate in (os.path.join(BIN, name), os.path.join(BIN, "tools", "sim", name),
                      os.path.join(BIN, "tools", "render", name)):
        if os.access(candidate, os.X_OK):
            return candidate
    raise FileNotFoundError(name)


class InstrumentRun:
    """korvalis-asi started in a scratch directory on a given display."""

    def __init__(self, display, scratch):
        self.display, self.scratch = display, scratch
        self.process = Process([program("korvalis-asi")], display.env, cwd=scratch.path)
        self.window = display.find_window(harness.TITLE)
        # The first frames need a moment after the window maps.
        time.sleep(0.5)

    def close_request(self):
        """The close box: the window manager's close, which the window receives as a request."""
        self.display.run("wmctrl", "-i", "-c", self.window, check=True)

    def client(self):
        return self.display.client_image(self.window)


def render(args, directory, env):
    path = os.path.join(directory, "reference.png")
    subprocess.run([program("korvalis-render"), *args, "-o", path], check=True, timeout=60,
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return harness.Image.from_png(path)


class E2ETest(unittest.TestCase):
    window_manager = False
    glx = True

    def setUp(self):
        self.display = Display(window_manager=self.window_manager, glx=self.glx)
        self.addCleanup(self.display.close)
        self.scratch = Scratch()
        self.addCleanup(self.scratch.remove)
        self.processes = []

    def tearDown(self):
        for process in self.processes:
            process.kill()

    def start_instrument(self, settings=None):
        if settings is not None:
            self.scratch.write_settings(settings)
        run = InstrumentRun(self.display, self.scratch)
        self.processes.append(run.process)
        return run

    def render(self, *args):
        return render(list(args), self.scratch.path, self.display.env)

    def start_sim(self, *args):
        sim = Process([program("korvalis-sim"), "--quiet", *args], self.display.env)
        self.processes.append(sim)
        return sim

    def assert_looks_like(self, got, reference, what):
        fraction, largest = harness.difference(got, reference)
        if fraction > 0.002:
            keep = tempfile.mkdtemp(prefix="korvalis-e2e-failure-")
            got.save(os.path.join(keep, "screen.ppm"))
            reference.save(os.path.join(keep, "reference.ppm"))
            self.fail(f"{what}: {fraction:.2%} of the pixels differ (largest step {largest}); "
                      f"pictures kept in {keep}")

    def wait_until_looks_like(self, run, reference, what, seconds):
        try:
            wait_for(lambda: harness.difference(run.client(), reference)[0] <= 0.002, seconds,
                     what, step=0.2)
        except harness.Timeout:
            self.assert_looks_like(run.client(), reference, what)


class WindowTest(E2ETest):
    window_manager = True

    def test_title_and_client_size(self):
        run = self.start_instrument()
        self.assertEqual(self.display.run("xdotool", "getwindowname", run.window).strip(),
                         harness.TITLE)
        _, _, width, height = self.display.client_geometry(run.window)
        self.assertEqual((width, height), (266, 266))

    def test_outer_position_from_the_settings_file(self):
        for x, y in [(0, 0), (120, 45), (-40, -15), (900, 700)]:
            with self.subTest(position=(x, y)):
                run = self.start_instrument(own_settings(1, x, y))
                self.assertEqual(self.display.outer_position(run.window), (x, y))
                left, _, top, _ = self.display.frame_extents(run.window)
                self.assertGreater(top, 0, "a title bar is drawn by the window manager")
                run.close_request()
                self.assertEqual(run.process.exit_code(10), 0)

    def test_default_position_lets_the_window_system_choose(self):
        run = self.start_instrument(own_settings(1, -65535, 300))
        x, y = self.display.outer_position(run.window)
        self.assertNotEqual(x, -65535)
        self.assertGreaterEqual(x, 0)
        self.assertGreaterEqual(y, 0)

    def test_moved_then_closed_saves_the_new_position(self):
        for how in ("close box", "alt+F4"):
            with self.subTest(close=how):
                run = self.start_instrument(own_settings(0, 10, 20))
                self.display.run("xdotool", "windowmove", run.window, "300", "200", check=True)
                wait_for(lambda: self.display.outer_position(run.window) == (300, 200), 5,
                         "the move")
                time.sleep(0.3)  # the frame loop takes one event every iteration
                if how == "close box":
                    run.close_request()
                else:
                    # Alt+F4 is the window manager's key: sent through the keyboard (XTEST) to
                    # the active window, not posted to the window itself.
                    self.display.activate(run.window)
                    self.display.run("xdotool", "key", "alt+F4")
                self.assertEqual(run.process.exit_code(10), 0, run.process.output())
                self.assertEqual(self.scratch.settings(), own_settings(0, 300, 200))

    def test_stays_above_other_windows(self):
        run = self.start_instrument(own_settings(1, 0, 0))
        other = Process(["xmessage", "-geometry", "400x400+0+0", "covering"], self.display.env)
        self.processes.append(other)
        self.display.find_window("xmessage")
        time.sleep(0.5)
        self.assertIn("_NET_WM_STATE_ABOVE",
                      self.display.run("xprop", "-id", run.window, "_NET_WM_STATE"))
        # The dial's red marker is still on the screen, above the other window.
        self.assertTrue(harness.marker_shown(run.client()))


class OffScreenTest(E2ETest):
    """Without a window manager nothing may move the window: positions are used as they are."""

    def test_positions_off_every_screen_are_kept(self):
        for x, y in [(5000, 5000), (-2000, 10), (-300, -300)]:
            with self.subTest(position=(x, y)):
                run = self.start_instrument(own_settings(1, x, y))
                self.assertEqual(self.display.outer_position(run.window), (x, y))
                run.process.signal(signal.SIGTERM)
                run.process.exit_code(10)


class LinkTest(E2ETest):
    def test_offline_marker_with_both_needles_up(self):
        run = self.start_instrument()
        reference = self.render("--offline")
        self.assertTrue(harness.marker_shown(reference))
        self.wait_until_looks_like(run, reference, "offline, needles at 0", 3)

    def test_follows_the_simulator_then_loses_it_and_reconnects(self):
        run = self.start_instrument()
        self.assertTrue(harness.marker_shown(run.client()))
        sim = self.start_sim("--ias", "150", "--max", "259", "--lights", "0")
        reference = self.render("--ias", "150", "--max", "259")
        started = time.monotonic()
        self.wait_until_looks_like(run, reference, "the simulator's values", 2.5)
        connected_after = time.monotonic() - started

        sim.kill()
        lost = time.monotonic()
        wait_for(lambda: harness.marker_shown(run.client()), 3, "the marker after the kill",
                 step=0.1)
        marker_after = time.monotonic() - lost
        # The needles keep their last angles while offline.
        offline_reference = self.render("--ias", "150", "--max", "259", "--offline")
        self.assert_looks_like(run.client(), offline_reference, "offline at the last values")

        self.start_sim("--ias", "250", "--max", "280")
        self.wait_until_looks_like(run, self.render("--ias", "250", "--max", "280"), "after reconnecting", 4)
        print(f"connected in {connected_after:.2f} s, marker back {marker_after:.2f} s "
              "after the kill", file=sys.stderr)
        self.assertLess(marker_after, 2.0)

    def test_lighting_overlay_follows_bit_0x20_and_the_setting(self):
        self.start_sim("--ias", "120", "--max", "200", "--lights", "0x20")
        for light in (1, 0):
            with self.subTest(light=light):
                run = self.start_instrument(own_settings(light, 0, 0))
                reference = self.render("--ias", "120", "--max", "200", "--lights", "0x20",
                                    "--light-enabled", str(light))
                self.wait_until_looks_like(run, reference, f"light = {light}", 4)
                run.process.signal(signal.SIGTERM)
                run.process.exit_code(10)

    def test_closed_while_the_simulator_hangs(self):
        sim = self.start_sim("--ias", "100", "--max", "200")
        run = self.start_instrument(own_settings(1, 0, 0))
        self.wait_until_looks_like(run, self.render("--ias", "100", "--max", "200"), "connected", 4)
        sim.signal(signal.SIGSTOP)  # a hang: the module neither answers nor goes away
        time.sleep(0.5)
        asked = time.monotonic()
        run.process.signal(signal.SIGTERM)  # the window system's quit, taken as a close
        code = run.process.exit_code(5)
        took = time.monotonic() - asked
        sim.signal(signal.SIGCONT)
        self.assertEqual(code, 0)
        self.assertLess(took, 1.5, f"exit took {took:.2f} s")
        self.assertEqual(self.scratch.settings(), own_settings(1, 0, 0))


class SurfaceFailureTest(E2ETest):
    """An X server without OpenGL: no accelerated surface can be opened."""
    glx = False

    def test_error_box_then_exit_without_touching_the_settings(self):
        for before in (b"; mine\n[system]\nlight=0\nPosWindowX=33\n", None):
            with self.subTest(settings_file=before is not None):
                if before is not None:
                    self.scratch.write_settings(before)
                elif os.path.exists(self.scratch.settings_path()):
                    os.remove(self.scratch.settings_path())
                process = Process([program("korvalis-asi")], self.display.env,
                                  cwd=self.scratch.path)
                self.processes.append(process)
                box = self.display.find_window("Erreur", 10)
                self.assertIsNone(process.exit_code(0.5), "the box waits for the user")
                self.display.run("xdotool", "windowactivate", "--sync", box)
                self.display.run("xdotool", "key", "--window", box, "Return")
                self.assertEqual(process.exit_code(10), 0, process.output())
                self.assertEqual(self.scratch.settings(), before)


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
