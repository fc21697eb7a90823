"""What a player does in the real window, the same on Linux (FLTK, in
patcher_test.py) and on Windows (Win32 under Wine, in
windows/kanade_wine_test.py): the server and what it publishes, a started
program (Run), and the runs both platforms make alike: the first run, a
run that finds everything current, an uninstall, the keys.

A scenario gets the player's machine `pc`:
  game, data, fifo, program  host folders: the game's (where the translation
                             goes), its data folder, the Lua FIFO folder and
                             the program's
  ini, log                   kanade.ini's path, kanade.log (KanadeLog)
  build                      the running build's path
  upgrade                    the file name of its copy beside it
  own_repository             the server path of the program's own repository
  title                      the console's title line
  no_proxy                   the log's line that names the run's proxy, none
                             being set
  shown(path)                a host path as the program names it
  launch(*args)              the program started in its folder, as a Run
"""
import hashlib
import os
import random
import re
import subprocess
import time

from e2e_common import (GAME_EXE, MAIN_TITLE, Context, READY, REPO_SERVER, SETTINGS_TITLE, STARTED,
                        UNINSTALLED, check, check_keys_and_hover, check_lines, fetch_lines,
                        files_below, ini_bytes, install_lines, publish_args, read_bytes,
                        remove_lines, segments, wait_until, without_progress, write_files)

MODES = ("kanade-conv-test", "kanade-test", "kanade-prefixed")
LUA_MODULE = {"Lua/kanade.lua": b"-- live translation module\n"}
GAME_VERSION = "Shroud of the Avatar_Data/gameversion.txt"
MODULE_LINE = re.compile(r"[<>] - (更新|更新中|削除):")


def translation(mode, table_size):
    """A mode's files: a text, a larger table in folders that do not exist
    yet, and a file with Japanese and a space in its name."""
    return {
        "Language.txt": f"Japanese ({mode})\r\n".encode(),
        "Shroud of the Avatar_Data/AssetBundles/locoverrides.portresources.unity3d":
            random.Random(mode).randbytes(table_size),
        "Shroud of the Avatar_Data/Translations/会話 一覧.txt":
            f"こんにちは、アヴァタール ({mode})\n".encode(),
    }


class RepositoryServer:
    """nginx over TLS (scripts/repo-server.sh) publishing the three modes
    and the Lua module as signed repositories; the platform adds the
    program's own build. `host` names the loopback in URLs."""

    def __init__(self, root, repo_tool, table_size, lifetime, host="127.0.0.1"):
        self.state = os.path.join(root, "server")
        self.www = os.path.join(root, "www")
        self.files = os.path.join(self.www, "files")
        self.repo_tool = repo_tool
        os.makedirs(os.path.join(self.www, "repos"))
        self.published = {mode: translation(mode, table_size) for mode in MODES}
        self.published["kanade-lua"] = LUA_MODULE
        for name, content in self.published.items():
            write_files(os.path.join(self.files, name), content)
        started = subprocess.run(["bash", REPO_SERVER, "start", self.state, self.www],
                                 env=dict(os.environ, KANADE_SERVER_LIFETIME=str(lifetime)),
                                 capture_output=True, text=True, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("repo-server.sh: " + started.stderr.strip())
        self.url = started.stdout.strip().splitlines()[-1].replace("127.0.0.1", host)
        self.ca = os.path.join(self.state, "ca.pem")
        for name in self.published:
            self.build(name, name)

    def build(self, folder, name):
        """files/`folder` published with kanade-repo build as repository `name`."""
        subprocess.run([self.repo_tool, "build", os.path.join(self.files, folder),
                        f"{self.url}/files/{folder}", "-o",
                        os.path.join(self.www, "repos", name + ".repo")] + publish_args(name),
                       check=True, capture_output=True, timeout=60)

    def module_paths(self, name):
        """The module paths of a published repository, in file order."""
        with open(os.path.join(self.www, "repos", name + ".repo"), encoding="utf-8") as f:
            return [line[len("module="):].split("\t")[0] for line in f.read().splitlines()
                    if line.startswith("module=")]

    def access_log(self):
        return (read_bytes(os.path.join(self.state, "access.log")) or b"").decode()

    def body_path(self, body):
        """Where kanade-repo publish serves `body`."""
        digest = hashlib.sha256(body).hexdigest()
        return f"/files/{digest[:2]}/{digest}"

    def stop(self):
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True, timeout=30)


class Run:
    """One start of the program: its process, its windows, its lines in the
    log (from the start marker it writes). A platform adds find_window,
    windows, request_close and shoot."""

    def __init__(self, pc, proc, runs_before, env):
        self.pc, self.proc, self.runs_before, self.env = pc, proc, runs_before, env
        self.window = None

    def xdo(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=20).stdout

    def click(self, window, x, y):
        self.xdo("mousemove", "--window", window, str(x), str(y), "click", "1")

    def lines(self):
        runs = self.pc.log.runs()
        return runs[self.runs_before] if len(runs) > self.runs_before else []

    def segments(self):
        return segments(self.lines(), self.pc.title)

    def wait_segment(self, index, predicate, timeout):
        """Console reset number `index` of this run once it satisfies
        `predicate`, or None."""
        def ready():
            found = self.segments()
            return found[index] if len(found) > index and predicate(found[index]) else None
        return wait_until(ready, timeout, 0.2)

    def wait_ready(self, index, timeout=60):
        return self.wait_segment(index, lambda s: "> " + READY in s, timeout)

    def main_window(self, timeout=30):
        self.window = self.find_window(MAIN_TITLE, timeout)
        if self.window is None:
            self.evidence()
        check(self.window is not None, f"{self.pc.program}: the main window opens")
        return self.window

    def evidence(self):
        pass

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self, timeout=30):
        """A close request to the main window; the exit code, or None when the
        program does not end."""
        self.request_close(self.window)
        return self.wait_exit(timeout)

    def close_keeping(self, settings):
        """Closes the program, which must end with exit code 0 and leave
        kanade.ini as `settings`."""
        code = self.close()
        check(code == 0, f"the program ends with exit code 0 ({code})")
        check(read_bytes(self.pc.ini) == settings, "ending the program writes no settings")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def first_run(ctx, pc, run, tick, look=None):
    """A run without kanade.ini: the settings window opens by itself before
    anything of the translation is fetched; `look(settings)` may check it.
    OK (after ticking 言語パッチを自動適用する with `tick`) saves the
    settings and starts the run again, which gets ready: that segment, or
    None."""
    if not run.main_window():
        return None
    settings = run.find_window(SETTINGS_TITLE, 40)
    if not check(settings is not None, "the settings window opens by itself on a first run"):
        return None
    time.sleep(0.5)
    before = run.segments()
    check(len(before) == 1 and not any("kanade-conv-test" in line for line in before[0]),
          "nothing of the translation is fetched before the settings are chosen")
    if look:
        look(settings)
    check(not os.path.exists(pc.ini), "no settings file before the window is closed")
    if tick:
        run.click(settings, 28, 262)  # 言語パッチを自動適用する
        time.sleep(0.3)
    run.click(settings, 540, 472)  # OK
    expected = ini_bytes(1 if tick else 0, "kanade-conv-test")
    check(wait_until(lambda: read_bytes(pc.ini) == expected, 15),
          f"OK saves the eight lines byte for byte: {read_bytes(pc.ini)!r}")
    check(wait_until(lambda: not run.windows(SETTINGS_TITLE), 10),
          "the settings window is gone after OK")
    restarted = run.wait_ready(1)
    lines = run.lines()
    titles = [i for i, line in enumerate(lines) if line == "> " + pc.title]
    url = ctx.server.url + "/repos/kanade-conv-test.repo"
    check(restarted is not None and fetch_lines(url)[1] in restarted and len(titles) == 2 and
          lines[titles[1] - 1] == "", "the run restarts: an empty line and the title, then "
          "the translation is fetched and the run gets ready")
    return restarted


def installing_lines(ctx, pc, mode, lua, restarted):
    """The log of a run that installs `mode` and the program's own build,
    removes the Lua module if `lua`, and was `restarted` once by the
    settings window after its own build arrived."""
    url = ctx.server.url
    own = fetch_lines(url + pc.own_repository)
    lines = [STARTED, "", "> " + pc.title, pc.no_proxy] + own
    lines += ["> レポジトリ適用: kanade-patcher.repo を適用中..."]
    lines += install_lines(pc.shown(os.path.join(pc.program, pc.upgrade)),
                           os.path.getsize(pc.build))
    lines += ["< レポジトリ適用: kanade-patcher.repo を適用済み"]
    if restarted:
        lines += ["", "> " + pc.title, pc.no_proxy] + own
        lines += ["> レポジトリ適用: kanade-patcher.repo を適用中...",
                  "< レポジトリ適用: kanade-patcher.repo は更新なし"]
    for name in ("kanade-conv-test", "kanade-test", "kanade-prefixed", "kanade-lua"):
        lines += fetch_lines(f"{url}/repos/{name}.repo")
    lines += [f"> レポジトリ適用: {mode}.repo を適用中..."]
    published = ctx.server.published[mode]
    for module in ctx.server.module_paths(mode):
        lines += install_lines(pc.shown(os.path.join(pc.game, *module.split("/"))),
                               len(published[module]))
    lines += [f"< レポジトリ適用: {mode}.repo を適用済み",
              "> レポジトリ解除: kanade-lua.repo をアンインストール中..."]
    if lua:
        lines += remove_lines(pc.shown(os.path.join(pc.data, "Lua", "kanade.lua")))
        lines += ["< レポジトリ解除: kanade-lua.repo をアンインストール済み"]
    else:
        lines += ["< レポジトリ解除: kanade-lua.repo は更新なし"]
    return lines + ["> FIFOバッファの整理中...", "< FIFOバッファの整理中... 完了", "> ",
                    "> " + READY]


def check_installing_run(ctx, pc, run, mode, lua=False, restarted=False):
    """The run installed `mode` and the own build, logged exactly so, and
    cleared the FIFO files; the Lua module is not there."""
    paths = [pc.shown(os.path.join(pc.game, *m.split("/"))) for m in ctx.server.published[mode]]
    actual = without_progress(run.lines(), paths + [pc.shown(os.path.join(pc.program,
                                                                          pc.upgrade))])
    check_lines(actual, installing_lines(ctx, pc, mode, lua, restarted),
                "the log holds exactly the lines of an installing run")
    published = ctx.server.published[mode]
    check(sorted(ctx.server.module_paths(mode)) == sorted(published),
          "the repository lists the published files")
    for module, body in published.items():
        check(read_bytes(os.path.join(pc.game, *module.split("/"))) == body,
              f"{module} holds the published bytes")
    check(files_below(pc.game) == set(published) | {GAME_EXE},
          f"nothing else is left in the game folder: {sorted(files_below(pc.game))}")
    check(read_bytes(os.path.join(pc.program, pc.upgrade)) == read_bytes(pc.build),
          f"the program's own build arrives as {pc.upgrade}")
    check(sorted(os.listdir(pc.fifo)) == ["other.txt"],
          f"fifo*.txt files are cleared, others stay: {sorted(os.listdir(pc.fifo))}")
    check(not os.path.exists(os.path.join(pc.data, "Lua", "kanade.lua")),
          "the Lua module is not there")


def current(ctx, pc, mode, look=None):
    """Everything of `mode` and the own build in place: the run downloads
    and writes nothing; `look(run)` may look at the windows meanwhile."""
    placed = [os.path.join(pc.game, *m.split("/")) for m in ctx.server.published[mode]]
    placed.append(os.path.join(pc.program, pc.upgrade))
    old = 1_600_000_000
    for path in placed:
        os.utime(path, (old, old))
    settings = read_bytes(pc.ini)
    run = pc.launch()
    try:
        done = run.wait_ready(0)
        if not check(done is not None, "the run reaches the ready message"):
            return
        check(not any(MODULE_LINE.match(line) for line in done),
              "no module line in a run that finds everything current")
        check("< レポジトリ適用: kanade-patcher.repo は更新なし" in done and
              f"< レポジトリ適用: {mode}.repo は更新なし" in done, "both applies report no update")
        check(all(os.stat(path).st_mtime == old for path in placed), "no current file is rewritten")
        if run.main_window(10):
            if look:
                look(run)
            run.close_keeping(settings)
    finally:
        run.stop()


def uninstall(ctx, pc, mode):
    """-uninstall removes `mode` and the Lua module, keeps the game's own
    files and the settings, and ends by itself. The translation and the Lua
    module lie there as an earlier build, which kept no record of what it
    installed, left them with its copies of their repositories: the run
    takes the install over."""
    write_files(pc.game, {GAME_VERSION: b"1071\r\n"})
    write_files(pc.data, LUA_MODULE)
    repos = os.path.join(pc.program, "repos")
    for name in (mode, "kanade-lua"):
        write_files(repos, {name + ".repo": read_bytes(
            os.path.join(ctx.server.www, "repos", name + ".repo"))})
    record = os.path.join(repos, "installed.txt")
    if os.path.exists(record):
        os.remove(record)
    settings = read_bytes(pc.ini)
    run = pc.launch("-uninstall")
    try:
        code = run.wait_exit(60)
        if not check(code == 0, f"-uninstall ends by itself with exit code 0 ({code})"):
            return
        check(files_below(pc.game) == {GAME_EXE, GAME_VERSION},
              f"only the game's own files stay: {sorted(files_below(pc.game))}")
        check(not os.path.exists(os.path.join(pc.data, "Lua", "kanade.lua")),
              "the Lua module is removed")
        lines = run.lines()
        check(lines[-2:] == ["> ", "> " + UNINSTALLED], "the log ends with the uninstall message")
        check(not any(pc.own_repository in line for line in lines),
              "the program's own repository is not fetched")
        expected = [f"> レポジトリ解除: {mode}.repo をアンインストール中..."]
        for module in ctx.server.module_paths(mode):
            expected += remove_lines(pc.shown(os.path.join(pc.game, *module.split("/"))))
        expected += [f"< レポジトリ解除: {mode}.repo をアンインストール済み",
                     "> レポジトリ解除: kanade-lua.repo をアンインストール中..."]
        expected += remove_lines(pc.shown(os.path.join(pc.data, "Lua", "kanade.lua")))
        expected += ["< レポジトリ解除: kanade-lua.repo をアンインストール済み"]
        start = lines.index(expected[0]) if expected[0] in lines else len(lines)
        check_lines(lines[start:start + len(expected)], expected,
                    "the log reports every removal as the program names the file")
        check(read_bytes(pc.ini) == settings, "kanade.ini is untouched")
    finally:
        run.stop()


def keyboard(pc, ticked, what):
    """Pointer and keys as a player uses them (e2e_common.check_keys_and_hover);
    `ticked` is kanade.ini once the check box has been toggled."""
    run = pc.launch("-waitfor", "3")
    try:
        if not run.main_window():
            return
        ui = Context(main=run.window, xdo=run.xdo, log=run.lines,
                     shoot=lambda: run.shoot("keyboard"),
                     settings_open=lambda: bool(run.windows(SETTINGS_TITLE)),
                     ini=lambda: read_bytes(pc.ini))
        check_keys_and_hover(ui, ticked, what)
        code = run.close()
        check(code == 0, f"the program ends with exit code 0 ({code})")
    finally:
        run.stop()


# Pixels. Text is anti-aliased, so glyphs are counted by their core pixels,
# which carry the drawn colour.
def is_white(p):
    return min(p) > 225


def is_green(p):
    return p[1] > 200 and p[0] < 70 and p[2] < 70


def is_red(p):
    return p[0] > 200 and p[1] < 70 and p[2] < 70


def row(y, x0=13, x1=600):
    """The band of one text line drawn with its top at y."""
    return (x0, y, x1, y + 16)


def console_row(n):
    return row(138 + 16 * n)
