#!/usr/bin/python3
"""The whole patcher in a real window under a private Xvfb, against nginx.

Publishes signed repositories with kanade-repo on a local HTTPS server
(scripts/repo-server.sh), gives every scenario its own program folder and
home (Steam-shaped, or empty), runs the built `kanade` there, drives it with
xdotool, photographs it with ImageMagick's import and checks files, the
bytes of kanade.ini and kanade.log, exit codes and pixels. The first run,
the current and the uninstalling run and the keys are those of the Wine
test too (desktop.py). Every wait has a time-out; Xvfb, the patchers and
nginx are stopped at the end whatever happens.

Usage: patcher_test.py KANADE KANADE_REPO PROBE
(KANADE_E2E_KEEP=DIR keeps the sandboxes and pictures there; after a failure
they are kept in any case and their folder is printed. KANADE_E2E_TRANSCRIPTS=DIR
keeps there, normalised, the kanade.log of each scenario whose runs end with
a closing line, for compare_transcripts.py.)
"""
import os
import shutil
import sys
import time

import desktop
from desktop import (MODULE_LINE, RepositoryServer, Run, console_row, is_green,
                     is_red, is_white, row)
from e2e_common import (NOT_APPLIED, SETTINGS_TITLE, Sandbox, check,
                        console_title, fetch_lines, ini_bytes, main, read_bytes, save_transcript,
                        start_display, wait_until, write_files)
from x11 import count, find_window, near, run, screenshot, window_ids

OWN_REPOSITORY = "/repos/kanade-patcher-linux.repo"
WHITE, RED, GREEN, YELLOW, GREY, BLACK = (
    (255, 255, 255), (255, 0, 0), (0, 255, 0), (255, 255, 0), (200, 200, 200), (0, 0, 0))
SETTINGS_BOX = (560, 5)
REFRESH_BOX = (10, 5)


class Player(Sandbox):
    """A Steam-shaped sandbox (or one without a game) as the shared
    scenarios see a player's machine (desktop.py)."""
    upgrade = "upgrade_kanade"
    own_repository = OWN_REPOSITORY
    no_proxy = "! no proxy"

    def __init__(self, ctx, name, steam=True):
        super().__init__(ctx, name, steam)
        self.build, self.title = ctx.kanade, ctx.title
        self.pictures = os.path.join(self.path, "pictures")
        os.makedirs(self.pictures)

    def shown(self, path):
        return path

    def launch(self, *args):
        return Patcher(self, *args)

    def transcribe(self):
        """Keeps kanade.log as a transcript (KANADE_E2E_TRANSCRIPTS) of a
        scenario whose runs end with a closing line."""
        save_transcript("linux", "window " + os.path.basename(self.path),
                        read_bytes(self.log.path), {self.ctx.root: "<root>",
                                                    self.ctx.server.url: "https://127.0.0.1:<port>"})


class Patcher(Run):
    """The real program, started in a sandbox's program folder."""

    def __init__(self, pc, *args):
        runs_before = len(pc.log.runs())
        super().__init__(pc, pc.start(*args), runs_before, pc.env())

    def find_window(self, title, timeout):
        return find_window(self.env, title, timeout)

    def windows(self, title):
        return window_ids(self.env, title)

    def request_close(self, window):
        """A real close request (WM_DELETE_WINDOW), sent by the probe."""
        run(self.env, self.pc.ctx.probe, "close", window)

    def shoot(self, name):
        return screenshot(self.env, self.window, os.path.join(self.pc.pictures, name + ".png"))

    def evidence(self):
        """For a program that does not show up: its threads' stacks and the
        windows on the display."""
        evidence = os.path.join(self.pc.path, "evidence.txt")
        with open(evidence, "w") as f:
            f.write(f"exit code: {self.proc.poll()}\n")
            for window in run(self.env, "xdotool", "search", "--name", ".").split():
                f.write(f"window {window}: {run(self.env, 'xprop', '-id', window, '_NET_WM_NAME')}")
            if self.proc.poll() is None and shutil.which("gdb"):
                f.write(run(self.env, "gdb", "-p", str(self.proc.pid), "-batch", "-ex",
                            "thread apply all bt", timeout=60))
        print("  evidence in " + evidence, flush=True)

    def wait_picture(self, name, predicate, timeout=5):
        """Photographs the main window until `predicate` holds for the
        picture or the time is up; returns the last picture and the result."""
        deadline = time.time() + timeout
        while True:
            picture = self.shoot(name)
            result = predicate(picture)
            if result or time.time() >= deadline:
                return picture, result
            time.sleep(0.2)

    def stop(self):
        super().stop()
        self.pc.log.check_bytes(upgrade_copy=True)


def box_frame(x, y, w=32, h=32):
    return ([(i, y) for i in range(x, x + w)] + [(i, y + h - 1) for i in range(x, x + w)] +
            [(x, j) for j in range(y, y + h)] + [(x + w - 1, j) for j in range(y, y + h)])


def frame_is(picture, box, colour):
    return all(near(picture.getpixel(p), colour, 2) for p in box_frame(*box))


def first_run_scenario(ctx):
    """No settings file: the settings window opens by itself, OK saves the
    defaults and the run starts again."""
    sandbox = Player(ctx, "1-first-run")
    patcher = sandbox.launch()
    try:
        if desktop.first_run(ctx, sandbox, patcher, tick=False) is not None:
            patcher.close_keeping(ini_bytes(0, "kanade-conv-test"))
    finally:
        patcher.stop()
    sandbox.transcribe()


def install_scenario(ctx):
    """Localisation switched on: the run installs the mode's files, replaces
    a stale one, clears the FIFO files and ends green. The main canvas shows
    the folders and the console at their places."""
    sandbox = Player(ctx, "2-install")
    sandbox.write_ini(ini_bytes(1, "kanade-test"))
    write_files(sandbox.game, {"Language.txt": b"an older translation\r\n"})
    write_files(sandbox.fifo, {"fifo1.txt": b"1", "FIFO2.TXT": b"2", "other.txt": b"3"})
    patcher = sandbox.launch()
    try:
        if not patcher.main_window():
            return
        if not check(patcher.wait_ready(0) is not None, "the run reaches the ready message"):
            return
        desktop.check_installing_run(ctx, sandbox, patcher, "kanade-test")
        check(patcher.proc.poll() is None, "the program idles after the run")

        # The console's newest line (the ready message) is the ninth row.
        def painted(p):
            return (count(p, console_row(8), is_green) > 60 and
                    count(p, row(85, 100), is_white) > 60 and count(p, row(102, 100), is_white) > 60)

        picture, ok = patcher.wait_picture("ready", painted)
        check(count(picture, console_row(8), is_green) > 60,
              "the ready message is green at (13, 266)")
        check(count(picture, console_row(7), is_green) < 10, "the empty line above it is empty")
        check(count(picture, row(85, 100), is_white) > 60, "the game folder in white at (100, 85)")
        check(count(picture, row(102, 100), is_white) > 60, "the data folder in white at (100, 102)")
        check(count(picture, row(85, 100), is_red) < 10, "no red message for the game folder")
        check(count(picture, console_row(0), is_white) > 60,
              "the console's first visible line is white text at (13, 138)")
        for n in (2, 3, 4):
            check(count(picture, console_row(n), is_green) > 60,
                  f"installed module line {n - 1} is green at (13, {138 + 16 * n})")
        check(frame_is(picture, SETTINGS_BOX + (32, 32), GREY) and
              frame_is(picture, REFRESH_BOX + (32, 32), GREY),
              "both boxes have grey frames while the pointer is elsewhere")
        check(near(picture.getpixel((562, 7)), BLACK, 2) and near(picture.getpixel((12, 7)), BLACK, 2),
              "the boxes are black inside")
        code = patcher.close()
        check(code == 0, f"the program ends with exit code 0 ({code})")
    finally:
        patcher.stop()
    sandbox.transcribe()


def current_scenario(ctx):
    """Everything already in place: the run downloads and writes nothing."""
    sandbox = Player(ctx, "3-current")
    sandbox.write_ini(ini_bytes(1, "kanade-test"))
    write_files(sandbox.game, ctx.server.published["kanade-test"])
    shutil.copy2(ctx.kanade, os.path.join(sandbox.program, "upgrade_kanade"))
    desktop.current(ctx, sandbox, "kanade-test")
    sandbox.transcribe()


def uninstall_scenario(ctx):
    """-uninstall removes the translation and the Lua module, keeps the
    game's own files and the settings, and ends by itself."""
    sandbox = Player(ctx, "4-uninstall")
    sandbox.write_ini(ini_bytes(1, "kanade-conv-test"))
    write_files(sandbox.game, ctx.server.published["kanade-conv-test"])
    desktop.uninstall(ctx, sandbox, "kanade-conv-test")
    sandbox.transcribe()


def no_game_scenario(ctx):
    """A home without Steam: both folder lines are the red request to choose
    the folder, and the run ends with the red line that nothing was applied."""
    sandbox = Player(ctx, "5-no-game", steam=None)
    sandbox.write_ini(ini_bytes(1, "kanade-test"))
    patcher = sandbox.launch()
    try:
        if not patcher.main_window():
            return

        def unknown(p):
            return count(p, row(85, 100), is_red) > 60 and count(p, row(102, 100), is_red) > 60

        # The run may be over by the first picture, its title scrolled away:
        # any console line at the top will do.
        def top_line(p):
            return count(p, console_row(0), is_white) + count(p, console_row(0), is_green) > 60

        picture, _ = patcher.wait_picture("no-game", lambda p: unknown(p) and top_line(p))
        check(count(picture, row(85, 100), is_red) > 60,
              "the game folder line is the red request at (100, 85)")
        check(count(picture, row(102, 100), is_red) > 60,
              "the data folder line is the red request at (100, 102)")
        check(top_line(picture), "the console's top line is text at (13, 138)")
        done = patcher.wait_segment(0, lambda s: "> " + NOT_APPLIED in s, 40)
        check(done is not None and "< レポジトリ適用: kanade-test.repo は更新なし" in done,
              "without a game nothing is applied and the run ends saying so")
        picture, ok = patcher.wait_picture(
            "no-game-end", lambda p: unknown(p) and count(p, console_row(8), is_red) > 60)
        check(ok, "the folder lines stay red after the run, and so is the closing line")
        check(patcher.close() == 0, "the program ends with exit code 0")
    finally:
        patcher.stop()
    sandbox.transcribe()


def buttons_scenario(ctx):
    """The painted boxes: hovering lights the settings box yellow, a click
    on it opens the settings window whose OK saves and restarts the run, a
    click on the refresh box restarts the run."""
    sandbox = Player(ctx, "6-buttons")
    sandbox.write_ini(ini_bytes(0, "kanade-prefixed", token="ab cd"))
    patcher = sandbox.launch()
    try:
        if not patcher.main_window():
            return
        if not check(patcher.wait_ready(0) is not None,
                     "the run reaches the ready message"):
            return
        main = patcher.window

        patcher.xdo("mousemove", "--window", main, "576", "21")
        picture, lit = patcher.wait_picture(
            "hover", lambda p: frame_is(p, SETTINGS_BOX + (32, 32), YELLOW))
        check(lit, "the settings box has a yellow frame while the pointer rests on it")
        check(frame_is(picture, REFRESH_BOX + (32, 32), GREY), "the refresh box stays grey")
        check(count(picture, (564, 13, 588, 29), lambda p: near(p, YELLOW, 60)) > 10,
              "the caption is yellow too")
        patcher.xdo("mousemove", "--window", main, "300", "60")
        _, grey = patcher.wait_picture("hover-left",
                                       lambda p: frame_is(p, SETTINGS_BOX + (32, 32), GREY))
        check(grey, "the frame is grey again after the pointer leaves")

        patcher.click(main, 576, 21)
        settings = patcher.find_window(SETTINGS_TITLE, 10)
        if not check(settings is not None, "a click on the settings box opens the settings"):
            return
        time.sleep(0.3)
        patcher.click(settings, 28, 262)  # 言語パッチを自動適用する
        time.sleep(0.3)
        patcher.click(settings, 540, 472)
        expected = ini_bytes(1, "kanade-prefixed", token="abcd")
        check(wait_until(lambda: read_bytes(sandbox.ini) == expected, 10),
              f"OK saves the ticked box, the mode and the token without spaces: "
              f"{read_bytes(sandbox.ini)!r}")
        restarted = patcher.wait_ready(1)
        if check(restarted is not None, "closing the settings restarts the run"):
            check("< レポジトリ適用: kanade-prefixed.repo を適用済み" in restarted,
                  "the restarted run installs the chosen mode")
            for module, body in ctx.server.published["kanade-prefixed"].items():
                check(read_bytes(os.path.join(sandbox.game, module)) == body,
                      f"{module} of kanade-prefixed is installed")

        patcher.click(main, 26, 21)
        own = fetch_lines(ctx.server.url + OWN_REPOSITORY)[0]
        refreshed = patcher.wait_ready(2)
        if check(refreshed is not None and refreshed[:2] == [Player.no_proxy, own],
                 "a click on the refresh box restarts the run with a new fetch"):
            check(not any(MODULE_LINE.match(line) for line in refreshed),
                  "the refreshed run finds everything current")
        patcher.close_keeping(expected)
    finally:
        patcher.stop()
    sandbox.transcribe()


def close_scenario(ctx):
    """A close request ends the program with exit code 0 and writes no
    settings: while the run goes on, and while the first-run settings window
    is open."""
    sandbox = Player(ctx, "7-close")
    # Written by hand: a save would turn it into the eight standard lines.
    settings = b"; mine\nEnableLocalization = 1 ; on\nLocalizationMode=Kanade-Test\nExtra=keep\n"
    sandbox.write_ini(settings)
    os.utime(sandbox.ini, (1_600_000_000, 1_600_000_000))
    patcher = sandbox.launch()
    try:
        if patcher.main_window():
            check(patcher.wait_segment(0, lambda s: len(s) >= 2, 20) is not None,
                  "the run starts")
            check(patcher.close() == 0, "a close request ends the program with exit code 0")
            check(read_bytes(sandbox.ini) == settings and
                  os.stat(sandbox.ini).st_mtime == 1_600_000_000, "kanade.ini is untouched")
            check((read_bytes(sandbox.log.path) or b"").endswith(b"\r\n"),
                  "the log ends with a whole line")
    finally:
        patcher.stop()

    sandbox = Player(ctx, "7-close-settings")
    patcher = sandbox.launch()
    try:
        if patcher.main_window():
            check(patcher.find_window(SETTINGS_TITLE, 30) is not None,
                  "the first-run settings window opens")
            check(patcher.close() == 0,
                  "closing the main window while the settings are open ends the program")
            check(not os.path.exists(sandbox.ini), "no settings file is written")
    finally:
        patcher.stop()


def keyboard_scenario(ctx):
    """Pointer and keys as a player uses them."""
    sandbox = Player(ctx, "8-keyboard")
    sandbox.write_ini(ini_bytes(0, "kanade-test"))
    desktop.keyboard(sandbox, ini_bytes(1, "kanade-test"), "FLTK")
    sandbox.transcribe()


def setup(ctx):
    ctx.kanade, repo_tool, ctx.probe = ctx.args
    ctx.title = console_title(repo_tool)
    start_display(ctx)
    ctx.server = RepositoryServer(ctx.root, repo_tool, 300_000, 300)
    ctx.cleanup.callback(ctx.server.stop)
    # The program's own build, listed as it runs: no upgrade starts.
    write_files(os.path.join(ctx.server.files, "kanade-patcher"), {"kanade": read_bytes(ctx.kanade)})
    ctx.server.build("kanade-patcher", "kanade-patcher-linux")


if __name__ == "__main__":
    sys.exit(main("patcher e2e", __doc__, [
        first_run_scenario, install_scenario, current_scenario, uninstall_scenario,
        no_game_scenario, buttons_scenario, close_scenario, keyboard_scenario],
        setup, arguments=(3,)))
