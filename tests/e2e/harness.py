"""What the end-to-end tests need to run the instrument as a user does: an X server of their
own (Xvfb), a window manager where frames, stacking and moves matter, the real programs in a
scratch working directory, and screenshots compared pixel by pixel."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

TITLE = "Korvalis - 1.006"
CLIENT = 266


class Timeout(Exception):
    pass


def wait_for(predicate, seconds, what, step=0.05):
    """Polls until predicate() gives something truthy; returns it or raises Timeout."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Timeout(f"timed out after {seconds} s waiting for {what}")
        time.sleep(step)


class Image:
    """An RGB picture read from a PPM stream."""

    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    @staticmethod
    def from_ppm(data):
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        if not match:
            raise ValueError("not a binary PPM")
        width, height = int(match.group(1)), int(match.group(2))
        if int(match.group(3)) != 255:
            raise ValueError("only 8-bit PPM is read here")
        pixels = data[match.end():match.end() + width * height * 3]
        return Image(width, height, pixels)

    @staticmethod
    def from_png(path):
        ppm = subprocess.run(["convert", path, "-alpha", "off", "-depth", "8", "ppm:-"], check=True,
                             capture_output=True).stdout
        return Image.from_ppm(ppm)

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def crop(self, x, y, width, height):
        rows = []
        for row in range(y, y + height):
            start = (row * self.width + x) * 3
            rows.append(self.pixels[start:start + width * 3])
        return Image(width, height, b"".join(rows))

    def save(self, path):
        with open(path, "wb") as out:
            out.write(b"P6 %d %d 255\n" % (self.width, self.height) + self.pixels)


def difference(a, b, tolerance=3):
    """Fraction of pixels whose channels differ by more than tolerance, and the largest step."""
    assert (a.width, a.height) == (b.width, b.height)
    differing, largest = 0, 0
    pa, pb = a.pixels, b.pixels
    for i in range(0, len(pa), 3):
        step = max(abs(pa[i] - pb[i]), abs(pa[i + 1] - pb[i + 1]), abs(pa[i + 2] - pb[i + 2]))
        largest = max(largest, step)
        if step > tolerance:
            differing += 1
    return differing / (a.width * a.height), largest


def marker_shown(client_image):
    """True when the not-connected marker's red dot is on the dial (pixels 60..69)."""
    red = 0
    for y in range(61, 69):
        for x in range(61, 69):
            r, g, b = client_image.pixel(x, y)
            if r > 180 and g < 90 and b < 90:
                red += 1
    return red >= 40


class Display:
    """An Xvfb server of our own, optionally with a window manager."""

    def __init__(self, window_manager=False, glx=True, size="1280x1024"):
        read_end, write_end = os.pipe()
        args = ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{size}x24",
                "-nolisten", "tcp", "-noreset"]
        if not glx:
            args += ["-extension", "GLX"]
        self.xvfb = subprocess.Popen(args, pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            self.xvfb.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"
        self.env = dict(os.environ, DISPLAY=self.name)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.wm = None
        if window_manager:
            self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: "window id" in self.run("xprop", "-root",
                                                       "_NET_SUPPORTING_WM_CHECK"),
                     10, "the window manager")
            self._wait_until_the_window_manager_serves()

    def _wait_until_the_window_manager_serves(self):
        # Openbox announces itself before it reads its first events, and a request that arrives
        # while it starts up can sit in its queue until a later event wakes it: the instrument
        # mapped then would never be framed. A probe window, mapped and nudged with root
        # property changes until the window manager marks it managed, proves it serves.
        probe = subprocess.Popen(["xmessage", "-name", "korvalis-probe", "-title",
                                  "korvalis-probe", "probe"], env=self.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def managed():
            self.run("xprop", "-root", "-f", "KORVALIS_TEST_NUDGE", "32c", "-set",
                     "KORVALIS_TEST_NUDGE", "1")
            return "window state:" in self.run("xprop", "-name", "korvalis-probe", "WM_STATE")
        try:
            wait_for(managed, 10, "the window manager to manage a window")
        finally:
            probe.kill()
            probe.wait()
            self.run("xprop", "-root", "-remove", "KORVALIS_TEST_NUDGE")

    def run(self, *args, check=False, timeout=10):
        result = subprocess.run(args, env=self.env, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError(f"{args} failed: {result.stderr}")
        return result.stdout

    def screenshot(self):
        ppm = subprocess.run(["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"], env=self.env,
                             capture_output=True, check=True, timeout=20).stdout
        return Image.from_ppm(ppm)

    def find_window(self, title, seconds=10):
        # The window tree lists titles whether they are stored as WM_NAME or, as SDL's message
        # box does, only as a UTF-8 _NET_WM_NAME, which xdotool's name search misses.
        pattern = re.compile(r'^\s*(0x[0-9a-f]+) "' + re.escape(title) + r'":', re.M)

        def search():
            match = pattern.search(self.run("xwininfo", "-root", "-tree"))
            return match.group(1) if match else None
        return wait_for(search, seconds, f"a window titled {title!r}")

    def client_geometry(self, window):
        """Absolute position and size of the window's client area."""
        out = self.run("xwininfo", "-id", window)
        get = lambda label: int(re.search(label + r":\s+(-?\d+)", out).group(1))
        return (get("Absolute upper-left X"), get("Absolute upper-left Y"), get("Width"),
                get("Height"))

    def frame_extents(self, window):
        """(left, right, top, bottom) decorations added by the window manager, or zeros."""
        out = self.run("xprop", "-id", window, "_NET_FRAME_EXTENTS")
        numbers = re.findall(r"\d+", out.split("=", 1)[1]) if "=" in out else []
        return tuple(int(n) for n in numbers) if len(numbers) == 4 else (0, 0, 0, 0)

    def activate(self, window):
        """Gives the window the focus and lets the window manager settle on it, so that a key
        sent next through the keyboard reaches it (or the window manager's grabs for it)."""
        self.run("xdotool", "windowactivate", "--sync", window)
        wait_for(lambda: self.run("xdotool", "getactivewindow").strip() == str(int(window, 0)),
                 10, "the window to take the focus")
        time.sleep(0.3)  # the window manager takes its key grabs after the focus change

    def outer_position(self, window):
        x, y, _, _ = self.client_geometry(window)
        left, _, top, _ = self.frame_extents(window)
        return x - left, y - top

    def client_image(self, window):
        x, y, w, h = self.client_geometry(window)
        return self.screenshot().crop(x, y, w, h)

    def close(self):
        for process in (self.wm, self.xvfb):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()


class Scratch:
    """A scratch working directory for one run of the instrument."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="korvalis-e2e-")

    def settings_path(self):
        return os.path.join(self.path, "Movrelin.ini")

    def write_settings(self, data):
        with open(self.settings_path(), "wb") as out:
            out.write(data.encode() if isinstance(data, str) else data)

    def settings(self):
        try:
            with open(self.settings_path(), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def own_settings(light, x, y):
    return f"[system]\r\nlight = {light}\r\nPosWindowX = {x}\r\nPosWindowY = {y}\r\n".encode()


class Process:
    """A child process that is always killed at the end, with its output kept."""

    def __init__(self, args, env, cwd=None, stdin=None):
        self.log = tempfile.TemporaryFile()
        self.popen = subprocess.Popen(args, env=env, cwd=cwd, stdin=stdin, stdout=self.log,
                                      stderr=subprocess.STDOUT, start_new_session=True)

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def exit_code(self, seconds):
        try:
            return self.popen.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def signal(self, sig):
        if self.popen.poll() is None:
            os.killpg(self.popen.pid, sig)

    def kill(self):
        if self.popen.poll() is None:
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.popen.wait()
