#!/usr/bin/python3
"""Real windows of the FLTK backend under a private Xvfb.

Starts Xvfb on a free display, runs the probe program, finds its windows
with xdotool, photographs them with ImageMagick's import and checks pixels,
sizes and positions; drives clicks, keys and close requests and checks the
events the probe prints. Then the program's own two windows at 96, 120, 144
and 192 DPI, each under an Xvfb started with -dpi: sizes, text fit, the
pointer on the scaled settings box, screenshots in demo/screenshots/scales.
Xvfb and the probe are always stopped at the end.

Usage: fltk_window_test.py PROBE   (KANADE_E2E_KEEP=DIR keeps the pictures)
"""
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from PIL import Image

from e2e_common import (SCALES, check, check_layout, check_smooth_backdrop, failures,
                        parse_layout, scaled, screenshot_folder, wait_until)
from x11 import SCREEN_H, SCREEN_W, Xvfb, count, find_window, geometry, near, run, screen_dpi, \
    screenshot, window_ids

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
class Probe:
    """The probe program; its output lines arrive in a queue."""

    def __init__(self, program, mode, env, cwd=None):
        self.proc = subprocess.Popen([program, mode], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, env=env, cwd=cwd)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, pattern, timeout=10):
        """The next line matching `pattern` (others are skipped), or None."""
        deadline = time.time() + timeout
        while True:
            left = deadline - time.time()
            if left <= 0:
                return None
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                return None
            if line is None:
                return None
            print("probe: " + line, flush=True)
            match = re.fullmatch(pattern, line)
            if match:
                return match

    def layout(self, until, timeout=10):
        """The items of the layout lines before the line `until`, by window
        (None if that line does not come)."""
        items = {}
        deadline = time.time() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(deadline - time.time(), 0.01))
            except queue.Empty:
                return None
            if line is None:
                return None
            if line == until:
                return items
            parsed = parse_layout(line)
            if parsed:
                items.setdefault(parsed[0], []).append(parsed[1])
            else:
                print("probe: " + line, flush=True)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def main_window_scenario(program, env, keep):
    probe = Probe(program, "main", env)
    try:
        font = probe.expect(r"font canvas (.*)\|(\d+)")
        mono = probe.expect(r"font mono (.*)\|(\d+)")
        check(font is not None and mono is not None, "the probe reports its fonts")
        if font and mono:
            # Japanese must come from a face that has it (Meiryo UI or Noto CJK).
            check(font.group(1) == "Meiryo UI" or "CJK" in font.group(1),
                  "canvas font has Japanese: " + font.group(1))
            check(mono.group(1) == "Courier New" or "Mono CJK" in mono.group(1),
                  "fixed-pitch font: " + mono.group(1))
            check(int(font.group(2)) == round(8 * screen_dpi(env) / 72),
                  "8 points are points x dpi / 72 pixels: " + font.group(2))
        check(probe.expect("ready") is not None, "the probe opens its window")
        check(probe.expect(r"timer main 123") is not None, "the 100 ms timer ticks")

        window = find_window(env, "Kanade Patcher")
        if not check(window is not None, "xdotool finds the main window"):
            return
        g = geometry(env, window)
        check((g["w"], g["h"]) == (600, 300), f"client area 600 x 300, got {g}")
        check((g["x"], g["y"]) == ((SCREEN_W - 600) // 2, (SCREEN_H - 300) // 2),
              f"centred on the screen, got {g}")

        shot = screenshot(env, window, os.path.join(keep, "main_window.png"))
        check(shot.size == (600, 300), f"screenshot size {shot.size}")
        check(near(shot.getpixel((40, 165)), (255, 0, 0), 2), "red box filled")
        check(near(shot.getpixel((100, 165)), (0, 255, 0), 2), "green box filled")
        check(near(shot.getpixel((302, 228)), (0, 0, 0), 2), "black box filled")
        lit = count(shot, (300, 200, 500, 230), lambda p: min(p) > 128)
        check(lit > 60, f"Japanese text drew glyphs on black ({lit} light pixels)")
        # Empty boxes for missing glyphs would be thin outlines; real glyphs
        # vary in shape: the columns lit differ in height.
        heights = {count(shot, (x, 200, x + 1, 230), lambda p: min(p) > 128)
                   for x in range(300, 500)}
        check(len(heights) > 4, "the glyphs are not identical boxes")
        red = count(shot, (100, 100, 450, 122), lambda p: p[0] > 200 and p[1] < 90 and p[2] < 90)
        check(red > 40, f"red text at (100, 102) ({red} red pixels)")
        backdrop = Image.open(os.path.join(SOURCE_DIR, "assets", "backdrop_1.jpg")).convert("RGB")
        region = (150, 40, 450, 70)
        diff = sum(abs(a - b) for x in range(region[0], region[2], 7) for y in range(region[1], region[3], 3)
                   for a, b in zip(shot.getpixel((x, y)), backdrop.getpixel((x, y))))
        samples = len(range(region[0], region[2], 7)) * len(range(region[1], region[3], 3)) * 3
        check(diff / samples < 12, f"the backdrop is drawn at (0, 0) (mean difference {diff / samples:.1f})")

        run(env, "xdotool", "mousemove", "--window", window, "300", "250", "click", "1")
        check(probe.expect(r"click main canvas 300 250") is not None,
              "a left click on the canvas arrives with the pointer position")
        run(env, "xdotool", "mousemove", "--window", window, "575", "20", "click", "1")
        check(probe.expect(r"click main canvas 575 20") is not None,
              "a click over a hidden button reaches the canvas")
        for key, code in (("Up", 38), ("Down", 40), ("a", 65), ("Escape", 27)):
            run(env, "xdotool", "key", key)
            check(probe.expect(rf"key canvas {code}") is not None, f"key {key} arrives as {code}")
        time.sleep(0.3)
        check(probe.proc.poll() is None and find_window(env, "Kanade Patcher") is not None,
              "Escape does not close the window")

        # A step that blocks while the toolkit collects events: the 100 ms
        # timer leaves one pending tick, not eight.
        run(env, "xdotool", "key", "b")
        check(probe.expect(r"backlog 1") is not None, "timer events do not pile up")

        # The file dialog, opened on the game's executable: cancelled, then
        # accepted as it stands; the system's chooser first, then FLTK's own.
        title = "SotA ゲームフォルダを指定する"
        for key, chooser in (("o", "system"), ("f", "FLTK")):
            for answer in ("Escape", "Return"):
                # Without a window manager focus is handed over by hand.
                run(env, "xdotool", "windowfocus", "--sync", window)
                run(env, "xdotool", "key", key)
                dialog = find_window(env, title)
                if not check(dialog is not None, f"the {chooser} file dialog opens with its title"):
                    continue
                run(env, "xdotool", "windowfocus", "--sync", dialog)
                time.sleep(0.3)
                run(env, "xdotool", "key", answer)
                chosen = probe.expect(r"dialog \[(.*)\]")
                expected = "" if answer == "Escape" else env["PROBE_EXE"]
                check(chosen is not None and chosen.group(1) == expected,
                      f"the {chooser} dialog answers {answer} with {expected!r}")

        run(env, program, "close", window)
        check(probe.expect(r"close main") is not None, "a close request arrives")
        try:
            check(probe.proc.wait(timeout=10) == 0, "the probe ends cleanly")
        except subprocess.TimeoutExpired:
            check(False, "the probe ends after the close request")
    finally:
        probe.stop()


def settings_window_scenario(program, env, keep):
    probe = Probe(program, "settings", env)
    try:
        check(probe.expect("ready") is not None, "the probe opens both windows")
        main = find_window(env, "Kanade Patcher")
        dialog = find_window(env, "Kanade Patcher 設定")
        if not check(main is not None and dialog is not None, "xdotool finds both windows"):
            return
        m, d = geometry(env, main), geometry(env, dialog)
        check((d["w"], d["h"]) == (600, 500), f"settings client area 600 x 500, got {d}")
        check((d["x"] + 300, d["y"] + 250) == (m["x"] + 300, m["y"] + 150),
              f"settings window centred on the main window: {d} over {m}")
        transient = run(env, "xprop", "-id", dialog, "WM_TRANSIENT_FOR")
        check(re.search(r"0x0*%x\b" % int(main), transient) is not None,
              "the settings window is owned by the main window: " + transient.strip())
        hints = run(env, "xprop", "-id", dialog, "WM_NORMAL_HINTS")
        check("minimum size: 600 by 500" in hints and "maximum size: 600 by 500" in hints,
              "the settings window cannot be resized")
        hints = run(env, "xprop", "-id", main, "WM_NORMAL_HINTS")
        check("minimum size: 600 by 300" in hints and "maximum size: 600 by 300" in hints,
              "the main window cannot be resized")
        # Motif hints: functions move (4), minimise (8), close (32); title bar
        # decorations border (2), title (8), menu (16), minimise (32).
        motif = run(env, "xprop", "-id", main, "_MOTIF_WM_HINTS")
        check("= 0x3, 0x2c, 0x3a," in motif, "the main window has a minimise box: " + motif.strip())
        motif = run(env, "xprop", "-id", dialog, "_MOTIF_WM_HINTS")
        check("= 0x3, 0x24, 0x1a," in motif, "the settings window has none: " + motif.strip())

        shot = screenshot(env, dialog, os.path.join(keep, "settings_window.png"))
        red = count(shot, (370, 410, 580, 426), lambda p: p[0] > 150 and p[1] < 100 and p[2] < 100)
        check(red > 20, f"the warning label is red ({red} red pixels)")
        dark = count(shot, (20, 160, 90, 180), lambda p: max(p) < 100)
        check(dark > 20, f"a Japanese label drew glyphs ({dark} dark pixels)")

        # Option buttons: clicking one leaves the other checked (the program
        # clears it), and clicking it again keeps it checked.
        run(env, "xdotool", "mousemove", "--window", dialog, "58", "342", "click", "1")
        check(probe.expect(r"click dialog option_b \d+ \d+ checked 110") is not None,
              "option buttons do not clear one another")
        run(env, "xdotool", "mousemove", "--window", dialog, "58", "342", "click", "1")
        check(probe.expect(r"click dialog option_b \d+ \d+ checked 110") is not None,
              "a checked option stays checked when clicked again")
        run(env, "xdotool", "mousemove", "--window", dialog, "28", "262", "click", "1")
        check(probe.expect(r"click dialog check \d+ \d+ checked 111") is not None,
              "a check box ticks itself")
        run(env, "xdotool", "mousemove", "--window", dialog, "28", "262", "click", "1")
        check(probe.expect(r"click dialog check \d+ \d+ checked 110") is not None,
              "and unticks itself")
        # The disabled Lua check box and the OK button.
        run(env, "xdotool", "mousemove", "--window", dialog, "378", "262", "click", "1")
        run(env, "xdotool", "mousemove", "--window", dialog, "540", "472", "click", "1")
        ok = probe.expect(r"click dialog (\w+) .*")
        check(ok is not None and ok.group(1) == "ok", "a disabled control reports no click")

        run(env, "xdotool", "key", "Escape")
        time.sleep(0.3)
        check(find_window(env, "Kanade Patcher 設定") is not None, "Escape leaves the settings open")
        run(env, program, "close", dialog)
        check(probe.expect(r"close dialog") is not None, "the settings window's close request")
        time.sleep(0.3)
        check(not window_ids(env, "Kanade Patcher 設定"),
              "the closed settings window is gone")
        run(env, program, "close", main)
        check(probe.expect(r"close main") is not None, "then the main window's")
    finally:
        probe.stop()


def lit_box(picture, dpi):
    """The picture if the settings box's top edge is yellow in it."""
    x, y = scaled(576, dpi), scaled(5, dpi)
    inside = x < picture.width and y < picture.height
    return picture if inside and near(picture.getpixel((x, y)), (255, 255, 0), 2) else None


def scales_scenario(program, env, keep):
    """The program's own main and settings windows at each scale."""
    pictures = screenshot_folder()
    for dpi in SCALES:
        percent = dpi * 100 // 96
        what = f"FLTK at {percent} %"
        # Room for the settings window at 200 %.
        xvfb = Xvfb(dpi=dpi, size=(1600, 1200))
        probe = None
        try:
            scaled_env = dict(env, DISPLAY=xvfb.display)
            probe = Probe(program, "layout", scaled_env, cwd=keep)
            shown = probe.expect(r"dpi (\d+)")
            check(shown is not None and int(shown.group(1)) == dpi,
                  f"{what}: the toolkit takes the screen's DPI")
            main = probe.layout("ready")
            window = find_window(scaled_env, "Kanade Patcher")
            if not check(main is not None and window is not None, f"{what}: the main window opens"):
                continue
            g = geometry(scaled_env, window)
            check((g["w"], g["h"]) == (scaled(600, dpi), scaled(300, dpi)),
                  f"{what}: client area 600 x 300 x {dpi}/96, got {g['w']} x {g['h']}")
            check_layout(main.get("main", []), dpi, f"{what}, main window")
            # The pointer on the settings box lights it, a click opens the settings.
            run(scaled_env, "xdotool", "mousemove", "--window", window, str(scaled(576, dpi)),
                str(scaled(21, dpi)))
            path = os.path.join(pictures, f"fltk-{percent}-main.png")
            lit = wait_until(lambda: lit_box(screenshot(scaled_env, window, path), dpi), 5, 0.2)
            check(lit is not None, f"{what}: the settings box lights under the pointer")
            check_smooth_backdrop(lit, dpi, what)
            run(scaled_env, "xdotool", "click", "1")
            settings = probe.layout("settings")
            dialog = find_window(scaled_env, "Kanade Patcher 設定")
            if not check(settings is not None and dialog is not None,
                         f"{what}: a click on the settings box opens the settings window"):
                continue
            d = geometry(scaled_env, dialog)
            check((d["w"], d["h"]) == (scaled(600, dpi), scaled(500, dpi)),
                  f"{what}: settings client area 600 x 500 x {dpi}/96, got {d['w']} x {d['h']}")
            check_layout(settings.get("settings", []), dpi, f"{what}, settings window")
            time.sleep(0.3)
            screenshot(scaled_env, dialog, os.path.join(pictures, f"fltk-{percent}-settings.png"))
            run(scaled_env, program, "close", window)
            try:
                check(probe.proc.wait(timeout=10) == 0, f"{what}: the probe ends cleanly")
            except subprocess.TimeoutExpired:
                check(False, f"{what}: the probe ends after the close request")
        finally:
            if probe is not None:
                probe.stop()
            xvfb.stop()


def main():
    program = os.path.abspath(sys.argv[1])
    keep = os.environ.get("KANADE_E2E_KEEP") or tempfile.mkdtemp(prefix="kanade-e2e-")
    os.makedirs(keep, exist_ok=True)
    xvfb = Xvfb()
    try:
        game = os.path.join(keep, "game", "Shroud of the Avatar")
        os.makedirs(game, exist_ok=True)
        exe = os.path.join(game, "Shroud of the Avatar.exe")
        open(exe, "wb").close()
        env = dict(os.environ, DISPLAY=xvfb.display, PROBE_DIALOG_START=exe, PROBE_EXE=exe)
        main_window_scenario(program, env, keep)
        settings_window_scenario(program, env, keep)
        scales_scenario(program, dict(env, PROBE_GAME=game), keep)
    finally:
        xvfb.stop()
        if not os.environ.get("KANADE_E2E_KEEP"):
            shutil.rmtree(keep, ignore_errors=True)
    checks = "failed" if failures else "passed"
    print(f"fltk window: {checks} ({len(failures)} failures)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
