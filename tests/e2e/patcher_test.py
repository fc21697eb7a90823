#!/usr/bin/python3
"""The whole patcher in a real window under a private Xvfb, against nginx.

Publishes signed repositories with kanade-repo on a local HTTPS server
(scripts/repo-server.sh), gives every scenario its own program folder and
home (Steam-shaped, or empty), runs the built `kanade` there, drives it with
xdotool, photographs it with ImageMagick's import and checks files, the
bytes of kanade.ini and kanade.log, exit codes and pixels. Every wait has a
time-out; Xvfb, the patchers and nginx are stopped at the end whatever
happens.

Usage: patcher_test.py KANADE KANADE_REPO PROBE
(KANADE_E2E_KEEP=DIR keeps the sandboxes and pictures there; after a failure
they are kept in any case and their folder is printed.)
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

from e2e_common import (check, check_keys_and_hover, console_title, failures, fetch_lines,
                        install_lines, publish_args, wait_until, without_progress)
from x11 import Xvfb, count, die_with_parent, find_window, near, run, screenshot, window_ids

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
REPO_SERVER = os.path.join(SOURCE_DIR, "scripts", "repo-server.sh")

MAIN_TITLE = "Kanade Patcher"
SETTINGS_TITLE = "Kanade Patcher 設定"
STARTED = "===== Program Started ====="
CONSOLE_TITLE = None  # from the build under test, set by main()
READY = "日本語化パッチの準備ができました。ゲームを開始してください！"
UNINSTALLED = "日本語化パッチがアンインストールされました。"
NOT_APPLIED = "日本語化パッチを適用できませんでした。kanade.log を確認してください。"
OWN_REPOSITORY = "/repos/kanade-patcher-linux.repo"
MODES = ("kanade-conv-test", "kanade-test", "kanade-prefixed")
GAME_EXE = "Shroud of the Avatar.exe"

WHITE, RED, GREEN, YELLOW, GREY, BLACK = (
    (255, 255, 255), (255, 0, 0), (0, 255, 0), (255, 255, 0), (200, 200, 200), (0, 0, 0))

def translation(mode):
    """What the server publishes for a localisation mode: a small text, a
    larger binary table in folders that do not exist yet, and a file with
    Japanese and a space in its name."""
    return {
        "Language.txt": f"Japanese ({mode})\r\n".encode(),
        "Shroud of the Avatar_Data/AssetBundles/locoverrides.portresources.unity3d":
            random.Random(mode).randbytes(300_000),
        "Shroud of the Avatar_Data/Translations/会話 一覧.txt":
            f"こんにちは、アヴァタール ({mode})\n".encode(),
    }


LUA_MODULE = {"Lua/kanade.lua": b"-- live translation module\n"}


def ini_bytes(enable, mode, override="", token=""):
    lines = ["; Localization related settings", f"EnableLocalization={enable}",
             f"LocalizationMode={mode}", f"GameLocationOverride={override}", "",
             "; Lua Related settings", "EnableLuaIntegration=0", f"LiveTranslationToken={token}"]
    return "".join(line + "\r\n" for line in lines).encode()


def write_files(folder, files):
    for relative, body in files.items():
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def files_below(folder):
    found = set()
    for base, _, names in os.walk(folder):
        for name in names:
            found.add(os.path.relpath(os.path.join(base, name), folder))
    return found


class Server:
    """nginx over TLS publishing the translation, the Lua module and the
    program's own build as signed repositories."""

    def __init__(self, root):
        self.root = root
        self.state = os.path.join(root, "server")

    def start(self, kanade, repo_tool):
        www = os.path.join(self.root, "www")
        files = os.path.join(www, "files")
        os.makedirs(os.path.join(www, "repos"))
        self.published = {mode: translation(mode) for mode in MODES}
        self.published["kanade-lua"] = LUA_MODULE
        for name, content in self.published.items():
            write_files(os.path.join(files, name), content)
        os.makedirs(os.path.join(files, "kanade-patcher"))
        shutil.copy2(kanade, os.path.join(files, "kanade-patcher", "kanade"))
        env = dict(os.environ, KANADE_SERVER_LIFETIME="300")
        started = subprocess.run(["bash", REPO_SERVER, "start", self.state, www], env=env,
                                 capture_output=True, text=True, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("repo-server.sh: " + started.stderr.strip())
        self.url = started.stdout.strip().splitlines()[-1]
        self.ca = os.path.join(self.state, "ca.pem")
        self.repos = {}
        for name in list(self.published) + ["kanade-patcher"]:
            server_name = "kanade-patcher-linux" if name == "kanade-patcher" else name
            path = os.path.join(www, "repos", server_name + ".repo")
            subprocess.run([repo_tool, "build", os.path.join(files, name), f"{self.url}/files/{name}",
                            "-o", path] + publish_args(server_name),
                           check=True, capture_output=True, timeout=60)
            self.repos[name] = path

    def module_paths(self, name):
        """The module paths of a published repository, in file order."""
        with open(self.repos[name], encoding="utf-8") as f:
            return [line[len("module="):].split("\t")[0] for line in f.read().splitlines()
                    if line.startswith("module=")]

    def stop(self):
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True, timeout=30)


class Sandbox:
    """A program folder with a copy of the patcher, and a home that either
    holds a Steam library with the game and its Proton data folder or is
    empty."""

    def __init__(self, root, name, kanade, steam=True):
        self.path = os.path.join(root, name)
        self.program = os.path.join(self.path, "program")
        self.home = os.path.join(self.path, "home")
        self.pictures = os.path.join(self.path, "pictures")
        for folder in (self.program, self.home, self.pictures):
            os.makedirs(folder)
        shutil.copy2(kanade, os.path.join(self.program, "kanade"))
        self.ini = os.path.join(self.program, "kanade.ini")
        self.log = os.path.join(self.program, "kanade.log")
        self.game = self.data = self.fifo = None
        if steam:
            library = os.path.join(self.home, ".local", "share", "Steam")
            apps = os.path.join(library, "steamapps")
            self.game = os.path.join(apps, "common", "Shroud of the Avatar")
            self.data = os.path.join(apps, "compatdata", "326160", "pfx", "drive_c", "users",
                                     "steamuser", "AppData", "Roaming", "Portalarium",
                                     "Shroud of the Avatar")
            self.fifo = os.path.join(self.data, "Lua", "kanade-fifo")
            for folder in (self.game, self.fifo, os.path.join(self.home, ".steam")):
                os.makedirs(folder)
            os.symlink(library, os.path.join(self.home, ".steam", "steam"))
            write_files(self.game, {GAME_EXE: b""})
            write_files(self.data, {"CurrentPlayerData.xml": b"<PlayerData/>\n"})
            with open(os.path.join(apps, "libraryfolders.vdf"), "w") as f:
                f.write('"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n}\n' % library)
            with open(os.path.join(apps, "appmanifest_326160.acf"), "w") as f:
                f.write('"AppState"\n{\n\t"appid"\t\t"326160"\n\t"name"\t\t"Shroud of the Avatar"\n'
                        '\t"installdir"\t\t"Shroud of the Avatar"\n}\n')

    def write_ini(self, data):
        with open(self.ini, "wb") as f:
            f.write(data)

    def log_lines(self):
        """The whole lines of the log so far (a line being written is left
        out; check_log looks at the bytes once the program has ended)."""
        data = read_bytes(self.log) or b""
        data = data[:data.rfind(b"\r\n") + 2]
        return data.decode("utf-8", errors="replace").split("\r\n")[:-1]

    def check_log(self):
        """UTF-8 without a byte-order mark, every line ending in CR LF."""
        data = read_bytes(self.log)
        if data is None:
            return
        check(data.startswith((STARTED + "\r\n").encode()) or
              data.startswith(("UPG:" + STARTED + "\r\n").encode()),
              f"{self.log} begins with the marker")
        check(data.endswith(b"\r\n") and data.count(b"\n") == data.count(b"\r\n"),
              f"every line of {self.log} ends in CR LF")
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            check(False, f"{self.log} is UTF-8")

    def last_run(self):
        lines = self.log_lines()
        starts = [i for i, line in enumerate(lines) if line == STARTED]
        return lines[starts[-1]:] if starts else []

    def segments(self):
        """The last run cut at every console reset: the lines after each
        title line, without the empty line that the next reset writes."""
        lines = self.last_run()
        titles = [i for i, line in enumerate(lines) if line == "> " + CONSOLE_TITLE]
        result = []
        for n, i in enumerate(titles):
            end = titles[n + 1] - 1 if n + 1 < len(titles) else len(lines)
            result.append(lines[i + 1:end])
        return result

    def wait_segment(self, index, predicate, timeout):
        """Waits until reset number `index` of the last run satisfies
        `predicate`; returns that segment or None."""
        def ready():
            segments = self.segments()
            return len(segments) > index and predicate(segments[index])
        return self.segments()[index] if wait_until(ready, timeout) else None


class Patcher:
    """The real program, started in a sandbox's program folder."""

    def __init__(self, ctx, sandbox, *args):
        self.ctx = ctx
        self.sandbox = sandbox
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        env.update(DISPLAY=ctx.display, HOME=sandbox.home, KANADE_REPOSITORY_URL=ctx.server.url,
                   CURL_CA_BUNDLE=ctx.server.ca)
        self.env = env
        self.output = open(os.path.join(sandbox.path, "kanade.out"), "wb")
        self.proc = subprocess.Popen(["./kanade", *args], cwd=sandbox.program, env=env,
                                     stdout=self.output, stderr=subprocess.STDOUT,
                                     preexec_fn=die_with_parent)
        self.window = None

    def main_window(self):
        self.window = find_window(self.env, MAIN_TITLE, timeout=15)
        if self.window is None:
            self.dump_state()
        return check(self.window is not None, f"{self.sandbox.path}: the main window opens")

    def dump_state(self):
        """Evidence for a program that does not show up: its threads' stacks
        and the windows on the display."""
        evidence = os.path.join(self.sandbox.path, "evidence.txt")
        with open(evidence, "w") as f:
            f.write(f"exit code: {self.proc.poll()}\n")
            for window in run(self.env, "xdotool", "search", "--name", ".").split():
                f.write(f"window {window}: {run(self.env, 'xprop', '-id', window, '_NET_WM_NAME')}")
            if self.proc.poll() is None and shutil.which("gdb"):
                f.write(run(self.env, "gdb", "-p", str(self.proc.pid), "-batch", "-ex",
                            "thread apply all bt", timeout=60))
        print("  evidence in " + evidence, flush=True)

    def xdo(self, *args):
        return run(self.env, "xdotool", *args)

    def click(self, window, x, y):
        self.xdo("mousemove", "--window", window, str(x), str(y), "click", "1")

    def shot(self, name):
        return screenshot(self.env, self.window, os.path.join(self.sandbox.pictures, name + ".png"))

    def wait_picture(self, name, predicate, timeout=5):
        """Photographs the main window until `predicate` holds for the
        picture or the time is up; returns the last picture and the result."""
        deadline = time.time() + timeout
        while True:
            picture = self.shot(name)
            result = predicate(picture)
            if result or time.time() >= deadline:
                return picture, result
            time.sleep(0.2)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        """A real close request (WM_DELETE_WINDOW) to the main window; the
        exit code, or None when the program does not end."""
        run(self.env, self.ctx.probe, "close", self.window)
        return self.wait_exit(20)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.output.close()
        self.sandbox.check_log()


# Pixel tests. Text is anti-aliased, so glyphs are counted by their core
# pixels, which carry the drawn colour.
def is_white(p):
    return min(p) > 225


def is_red(p):
    return p[0] > 200 and p[1] < 70 and p[2] < 70


def is_green(p):
    return p[1] > 200 and p[0] < 70 and p[2] < 70


def row(y, x0=13, x1=600):
    """The band of one text line drawn with its top at y."""
    return (x0, y, x1, y + 16)


def console_row(n):
    return row(138 + 16 * n)


def box_frame(x, y, w=32, h=32):
    return ([(i, y) for i in range(x, x + w)] + [(i, y + h - 1) for i in range(x, x + w)] +
            [(x, j) for j in range(y, y + h)] + [(x + w - 1, j) for j in range(y, y + h)])


def frame_is(picture, box, colour):
    return all(near(picture.getpixel(p), colour, 2) for p in box_frame(*box))


SETTINGS_BOX = (560, 5)
REFRESH_BOX = (10, 5)


def first_run_scenario(ctx):
    """No settings file: the settings window opens by itself, OK saves the
    defaults and the run starts again."""
    sandbox = Sandbox(ctx.root, "1-first-run", ctx.kanade)
    patcher = Patcher(ctx, sandbox)
    try:
        if not patcher.main_window():
            return
        settings = find_window(patcher.env, SETTINGS_TITLE, timeout=30)
        if not check(settings is not None, "the settings window opens by itself on a first run"):
            return
        time.sleep(0.3)
        before = sandbox.segments()
        check(len(before) == 1 and not any("kanade-conv-test" in line for line in before[0]),
              "nothing of the translation is fetched before the settings are chosen")
        check(not os.path.exists(sandbox.ini), "no settings file before the window is closed")
        patcher.click(settings, 540, 472)
        expected = ini_bytes(0, "kanade-conv-test")
        check(wait_until(lambda: read_bytes(sandbox.ini) == expected, 10),
              f"OK saves the eight default lines: {read_bytes(sandbox.ini)!r}")
        check(wait_until(lambda: not window_ids(patcher.env, SETTINGS_TITLE), 5),
              "the settings window is gone after OK")
        url = ctx.server.url + "/repos/kanade-conv-test.repo"
        restarted = sandbox.wait_segment(1, lambda s: fetch_lines(url)[1] in s, 20)
        lines = sandbox.last_run()
        titles = [i for i, line in enumerate(lines) if line == "> " + CONSOLE_TITLE]
        check(restarted is not None and len(titles) == 2 and lines[titles[1] - 1] == "",
              "the run restarts: an empty line and the title, then the translation is fetched")
        check(patcher.close() == 0, "the program ends with exit code 0")
        check(read_bytes(sandbox.ini) == expected, "ending the program writes no settings")
    finally:
        patcher.stop()


def install_scenario(ctx):
    """Localisation switched on: the run installs the mode's files, replaces
    a stale one, clears the FIFO files and ends green. The main canvas shows
    the folders and the console at their places."""
    sandbox = Sandbox(ctx.root, "2-install", ctx.kanade)
    sandbox.write_ini(ini_bytes(1, "kanade-test"))
    write_files(sandbox.game, {"Language.txt": b"an older translation\r\n"})
    write_files(sandbox.fifo, {"fifo1.txt": b"1", "FIFO2.TXT": b"2", "other.txt": b"3"})
    patcher = Patcher(ctx, sandbox)
    try:
        if not patcher.main_window():
            return
        done = sandbox.wait_segment(0, lambda s: "> " + READY in s, 40)
        if not check(done is not None, "the run reaches the ready message"):
            return

        published = ctx.server.published["kanade-test"]
        modules = ctx.server.module_paths("kanade-test")
        check(sorted(modules) == sorted(published), "the repository lists the published files")
        upgrade = os.path.join(sandbox.program, "upgrade_kanade")
        game_paths = [sandbox.game + "/" + m for m in modules]
        url = ctx.server.url
        expected = [STARTED, "", "> " + CONSOLE_TITLE]
        expected += fetch_lines(url + OWN_REPOSITORY)
        expected += ["> レポジトリ適用: kanade-patcher.repo を適用中..."]
        expected += install_lines(upgrade, os.path.getsize(ctx.kanade))
        expected += ["< レポジトリ適用: kanade-patcher.repo を適用済み"]
        for name in ("kanade-conv-test", "kanade-test", "kanade-prefixed", "kanade-lua"):
            expected += fetch_lines(f"{url}/repos/{name}.repo")
        expected += ["> レポジトリ適用: kanade-test.repo を適用中..."]
        for module, path in zip(modules, game_paths):
            expected += install_lines(path, len(published[module]))
        expected += ["< レポジトリ適用: kanade-test.repo を適用済み",
                     "> レポジトリ解除: kanade-lua.repo をアンインストール中...",
                     "< レポジトリ解除: kanade-lua.repo は更新なし",
                     "> FIFOバッファの整理中...", "< FIFOバッファの整理中... 完了",
                     "> ", "> " + READY]
        actual = without_progress(sandbox.last_run(), game_paths + [upgrade])
        if not check(actual == expected, "the log holds exactly the lines of an installing run"):
            for n, (a, e) in enumerate(zip(actual + [None] * len(expected), expected)):
                if a != e:
                    print(f"  first difference at log line {n}: {a!r} != {e!r}")
                    break
            print("  lengths", len(actual), len(expected))

        for module, body in published.items():
            check(read_bytes(os.path.join(sandbox.game, module)) == body,
                  f"{module} holds the published bytes")
        check(files_below(sandbox.game) == set(published) | {GAME_EXE},
              f"nothing else is left in the game folder: {sorted(files_below(sandbox.game))}")
        check(read_bytes(upgrade) == read_bytes(ctx.kanade),
              "the program's own build arrives as upgrade_kanade")
        check(not os.path.exists(os.path.join(sandbox.data, "Lua", "kanade.lua")),
              "the Lua module is not installed")
        check(sorted(os.listdir(sandbox.fifo)) == ["other.txt"],
              f"fifo*.txt files are cleared, others stay: {os.listdir(sandbox.fifo)}")
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
        check(patcher.close() == 0, "the program ends with exit code 0")
    finally:
        patcher.stop()


def current_scenario(ctx):
    """Everything already in place: the run downloads and writes nothing."""
    sandbox = Sandbox(ctx.root, "3-current", ctx.kanade)
    sandbox.write_ini(ini_bytes(1, "kanade-test"))
    published = ctx.server.published["kanade-test"]
    write_files(sandbox.game, published)
    shutil.copy2(ctx.kanade, os.path.join(sandbox.program, "upgrade_kanade"))
    old = 1_600_000_000
    placed = [os.path.join(sandbox.game, m) for m in published]
    placed.append(os.path.join(sandbox.program, "upgrade_kanade"))
    for path in placed:
        os.utime(path, (old, old))
    patcher = Patcher(ctx, sandbox)
    try:
        if not patcher.main_window():
            return
        done = sandbox.wait_segment(0, lambda s: "> " + READY in s, 40)
        if not check(done is not None, "the run reaches the ready message"):
            return
        check(not any(re.match(r"[<>] - (更新|更新中|削除):", line) for line in done),
              "no module line in a run that finds everything current")
        check("< レポジトリ適用: kanade-patcher.repo は更新なし" in done and
              "< レポジトリ適用: kanade-test.repo は更新なし" in done,
              "both applies report no update")
        check(all(os.stat(path).st_mtime == old for path in placed), "no current file is rewritten")
        check(patcher.close() == 0, "the program ends with exit code 0")
    finally:
        patcher.stop()


def uninstall_scenario(ctx):
    """-uninstall removes the translation and the Lua module, keeps the
    game's own files and the settings, and ends by itself."""
    sandbox = Sandbox(ctx.root, "4-uninstall", ctx.kanade)
    settings = ini_bytes(1, "kanade-conv-test")
    sandbox.write_ini(settings)
    published = ctx.server.published["kanade-conv-test"]
    write_files(sandbox.game, published)
    write_files(sandbox.game, {"Shroud of the Avatar_Data/gameversion.txt": b"1071\r\n"})
    write_files(sandbox.data, LUA_MODULE)
    patcher = Patcher(ctx, sandbox, "-uninstall")
    try:
        code = patcher.wait_exit(45)
        if not check(code == 0, f"-uninstall ends by itself with exit code 0 (got {code})"):
            return
        for module in published:
            check(not os.path.exists(os.path.join(sandbox.game, module)), f"{module} is removed")
        check(files_below(sandbox.game) == {GAME_EXE, "Shroud of the Avatar_Data/gameversion.txt"},
              f"the game's own files stay: {sorted(files_below(sandbox.game))}")
        check(not os.path.exists(os.path.join(sandbox.data, "Lua", "kanade.lua")),
              "the Lua module is removed")
        check((read_bytes(sandbox.log) or b"").endswith(("> " + UNINSTALLED + "\r\n").encode()),
              "the log ends with the uninstall message")
        run_lines = sandbox.last_run()
        check(not any(OWN_REPOSITORY in line for line in run_lines),
              "the program's own repository is not fetched")
        check("< レポジトリ解除: kanade-conv-test.repo をアンインストール済み" in run_lines and
              "< レポジトリ解除: kanade-lua.repo をアンインストール済み" in run_lines,
              "both repositories report their removal")
        for module in ctx.server.module_paths("kanade-conv-test"):
            check(f"< - 削除: {sandbox.game}/{module} 成功" in run_lines,
                  f"the log reports the removal of {module}")
        check(read_bytes(sandbox.ini) == settings, "the settings file is untouched")
    finally:
        patcher.stop()


def no_game_scenario(ctx):
    """A home without Steam: both folder lines are the red request to choose
    the folder, and the run ends with the red line that nothing was applied."""
    sandbox = Sandbox(ctx.root, "5-no-game", ctx.kanade, steam=False)
    sandbox.write_ini(ini_bytes(1, "kanade-test"))
    patcher = Patcher(ctx, sandbox)
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
        done = sandbox.wait_segment(0, lambda s: "> " + NOT_APPLIED in s, 40)
        check(done is not None and "< レポジトリ適用: kanade-test.repo は更新なし" in done,
              "without a game nothing is applied and the run ends saying so")
        picture, ok = patcher.wait_picture(
            "no-game-end", lambda p: unknown(p) and count(p, console_row(8), is_red) > 60)
        check(ok, "the folder lines stay red after the run, and so is the closing line")
        check(patcher.close() == 0, "the program ends with exit code 0")
    finally:
        patcher.stop()


def buttons_scenario(ctx):
    """The painted boxes: hovering lights the settings box yellow, a click
    on it opens the settings window whose OK saves and restarts the run, a
    click on the refresh box restarts the run."""
    sandbox = Sandbox(ctx.root, "6-buttons", ctx.kanade)
    sandbox.write_ini(ini_bytes(0, "kanade-prefixed", token="ab cd"))
    patcher = Patcher(ctx, sandbox)
    try:
        if not patcher.main_window():
            return
        if not check(sandbox.wait_segment(0, lambda s: "> " + READY in s, 40) is not None,
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
        settings = find_window(patcher.env, SETTINGS_TITLE, timeout=10)
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
        restarted = sandbox.wait_segment(1, lambda s: "> " + READY in s, 40)
        if check(restarted is not None, "closing the settings restarts the run"):
            check("< レポジトリ適用: kanade-prefixed.repo を適用済み" in restarted,
                  "the restarted run installs the chosen mode")
            for module, body in ctx.server.published["kanade-prefixed"].items():
                check(read_bytes(os.path.join(sandbox.game, module)) == body,
                      f"{module} of kanade-prefixed is installed")

        patcher.click(main, 26, 21)
        own = fetch_lines(ctx.server.url + OWN_REPOSITORY)[0]
        refreshed = sandbox.wait_segment(2, lambda s: "> " + READY in s, 40)
        if check(refreshed is not None and refreshed[:1] == [own],
                 "a click on the refresh box restarts the run with a new fetch"):
            check(not any(re.match(r"[<>] - (更新|更新中|削除):", line) for line in refreshed),
                  "the refreshed run finds everything current")
        check(patcher.close() == 0, "the program ends with exit code 0")
        check(read_bytes(sandbox.ini) == expected, "ending the program writes no settings")
    finally:
        patcher.stop()


def close_scenario(ctx):
    """A close request ends the program with exit code 0 and writes no
    settings: while the run goes on, and while the first-run settings window
    is open."""
    sandbox = Sandbox(ctx.root, "7-close", ctx.kanade)
    # Written by hand: a save would turn it into the eight standard lines.
    settings = b"; mine\nEnableLocalization = 1 ; on\nLocalizationMode=Kanade-Test\nExtra=keep\n"
    sandbox.write_ini(settings)
    os.utime(sandbox.ini, (1_600_000_000, 1_600_000_000))
    patcher = Patcher(ctx, sandbox)
    try:
        if patcher.main_window():
            check(sandbox.wait_segment(0, lambda s: len(s) >= 2, 20) is not None,
                  "the run starts")
            check(patcher.close() == 0, "a close request ends the program with exit code 0")
            check(read_bytes(sandbox.ini) == settings and
                  os.stat(sandbox.ini).st_mtime == 1_600_000_000, "kanade.ini is untouched")
            check((read_bytes(sandbox.log) or b"").endswith(b"\r\n"), "the log ends with a whole line")
    finally:
        patcher.stop()

    sandbox = Sandbox(ctx.root, "7-close-settings", ctx.kanade)
    patcher = Patcher(ctx, sandbox)
    try:
        if patcher.main_window():
            check(find_window(patcher.env, SETTINGS_TITLE, timeout=30) is not None,
                  "the first-run settings window opens")
            check(patcher.close() == 0,
                  "closing the main window while the settings are open ends the program")
            check(not os.path.exists(sandbox.ini), "no settings file is written")
    finally:
        patcher.stop()


def keyboard_scenario(ctx):
    """Pointer and keys as a player uses them (e2e_common.check_keys_and_hover)."""
    sandbox = Sandbox(ctx.root, "8-keyboard", ctx.kanade)
    sandbox.write_ini(ini_bytes(0, "kanade-test"))
    patcher = Patcher(ctx, sandbox, "-waitfor", "3")
    try:
        if not patcher.main_window():
            return
        ui = Context()
        ui.main, ui.xdo, ui.log = patcher.window, patcher.xdo, sandbox.log_lines
        ui.shoot = lambda: patcher.shot("keyboard")
        ui.settings_open = lambda: bool(window_ids(patcher.env, SETTINGS_TITLE))
        ui.ini = lambda: read_bytes(sandbox.ini)
        check_keys_and_hover(ui, ini_bytes(1, "kanade-test"), "FLTK")
        check(patcher.close() == 0, "the program ends with exit code 0")
    finally:
        patcher.stop()


SCENARIOS = [first_run_scenario, install_scenario, current_scenario, uninstall_scenario,
             no_game_scenario, buttons_scenario, close_scenario, keyboard_scenario]


class Context:
    pass


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    ctx = Context()
    ctx.kanade, repo_tool, ctx.probe = (os.path.abspath(a) for a in sys.argv[1:4])
    global CONSOLE_TITLE
    CONSOLE_TITLE = console_title(repo_tool)
    keep = os.environ.get("KANADE_E2E_KEEP")
    if keep:
        os.makedirs(keep, exist_ok=True)
        ctx.root = os.path.realpath(tempfile.mkdtemp(prefix="patcher-", dir=keep))
    else:
        ctx.root = os.path.realpath(tempfile.mkdtemp(prefix="kanade-patcher-e2e-"))
    started = time.time()
    xvfb = server = None
    try:
        xvfb = Xvfb()
        ctx.display = xvfb.display
        ctx.server = server = Server(ctx.root)
        server.start(ctx.kanade, repo_tool)
        for scenario in SCENARIOS:
            print(f"--- {scenario.__name__} ({time.time() - started:.1f} s)", flush=True)
            try:
                scenario(ctx)
            except Exception:  # one broken scenario must not hide the others
                traceback.print_exc()
                check(False, f"{scenario.__name__} raised")
    except Exception:
        traceback.print_exc()
        check(False, "the test environment could not be set up")
    finally:
        if server is not None:
            server.stop()
        if xvfb is not None:
            xvfb.stop()
        if failures or keep:
            print("sandboxes and pictures kept in " + ctx.root)
        else:
            shutil.rmtree(ctx.root, ignore_errors=True)
    result = "failed" if failures else "passed"
    print(f"patcher e2e: {result} ({len(failures)} failures, {time.time() - started:.1f} s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
