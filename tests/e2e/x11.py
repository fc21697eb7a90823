"""Helpers of the real-window tests: a private Xvfb, finding windows by
their UTF-8 title, geometry, screenshots with ImageMagick's import and pixel
counting with PIL."""
import ctypes
import os
import re
import select
import signal
import subprocess
import time

from PIL import Image

SCREEN_W, SCREEN_H = 1024, 768


def die_with_parent():
    """preexec_fn: the child gets SIGTERM when the test process dies, even
    when it is killed (a CTest time-out), so no server or window outlives it."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Xvfb:
    """Xvfb on a display number that the server picks itself (-displayfd),
    so that tests running side by side never fight over a number. Without
    -noreset the server resets whenever its last client leaves and refuses
    the next program that connects meanwhile."""

    def __init__(self, timeout=15, dpi=None, size=(SCREEN_W, SCREEN_H)):
        """`dpi` sets the screen's DPI, as a monitor at that scale reports it;
        `size` must hold the windows at that scale."""
        self.proc = None
        scale = ["-dpi", str(dpi)] if dpi else []
        read_end, write_end = os.pipe()
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                 f"{size[0]}x{size[1]}x24", "-nolisten", "tcp", "-noreset"] + scale,
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                preexec_fn=die_with_parent)
            os.close(write_end)
            write_end = None
            answer = b""
            deadline = time.time() + timeout
            while not answer.endswith(b"\n"):
                left = deadline - time.time()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    break
                chunk = os.read(read_end, 32)
                if not chunk:
                    break
                answer += chunk
            if not answer.strip().isdigit():
                self.stop()
                raise RuntimeError("Xvfb did not start")
            self.display = ":" + answer.strip().decode()
        finally:
            if write_end is not None:
                os.close(write_end)
            os.close(read_end)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def run(env, *command, timeout=10):
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout).stdout


def window_ids(env, title):
    """Windows whose UTF-8 title (_NET_WM_NAME) is `title`. FLTK also
    writes the UTF-8 bytes into the Latin-1 WM_NAME that xdotool matches, so
    xdotool lists the named windows and xprop tells them apart."""
    found = []
    for window in run(env, "xdotool", "search", "--name", ".").split():
        name = run(env, "xprop", "-id", window, "_NET_WM_NAME")
        if name.strip().endswith('= "%s"' % title):
            found.append(window)
    return found


def find_window(env, title, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        ids = window_ids(env, title)
        if ids:
            return ids[0]
        time.sleep(0.1)
    return None


def geometry(env, window):
    info = run(env, "xwininfo", "-id", window)
    values = {}
    for key, label in (("x", "Absolute upper-left X"), ("y", "Absolute upper-left Y"),
                       ("w", "Width"), ("h", "Height")):
        match = re.search(label + r":\s+(-?\d+)", info)
        values[key] = int(match.group(1)) if match else None
    return values


def screenshot(env, window, path):
    run(env, "import", "-window", window, path, timeout=20)
    return Image.open(path).convert("RGB")


def near(pixel, expected, tolerance=30):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, expected))


def count(image, box, test):
    x0, y0, x1, y1 = box
    return sum(1 for y in range(y0, y1) for x in range(x0, x1) if test(image.getpixel((x, y))))


def screen_dpi(env):
    match = re.search(r"resolution:\s+(\d+)x(\d+) dots per inch", run(env, "xdpyinfo"))
    return int(match.group(2)) if match else 96
