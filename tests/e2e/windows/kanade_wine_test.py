#!/usr/bin/python3
"""kanade.exe end to end under Wine and a private Xvfb, against nginx.

One Wine prefix holds everything a Windows player has: the registry values
of Steam ("SteamPath", written with "/") and of the stand-alone game
("Path"), a Steam library listed in libraryfolders.vdf with the game's
appmanifest_326160.acf, both game folders, the per-user data folder, a
Japanese font, and a program folder. Game, program and CA folders carry
Japanese characters and spaces; drive D: is a folder of the sandbox.

Scenarios, in order, on the same prefix:
  first run    the settings window opens by itself; OK writes kanade.ini;
               the restarted run installs into the stand-alone folder
               (not the Steam copy), clears the FIFO files, ends green;
               the main window shows Japanese glyphs, not boxes; one-line
               labels stay on one line
  current      the next run finds everything current and writes nothing
  uninstall    "-uninstall" removes the translation and ends by itself
  browse       the settings window's file dialog picks another folder
  self-upgrade two newer builds in turn, published with kanade-repo publish
               --windows: upgrade_kanade.exe, the -waitfor countdown,
               kanade.exe replaced, the new build started; the first one
               signed with Authenticode by a code-signing CA made here, and
               the upgraded kanade.exe still verifies against it
  keyboard     the settings box lit through a countdown; Tab, Shift+Tab,
               Space, Escape and Enter in the settings window; the arrows
               scroll the console after it without a click
  scales       at 96, 120, 144 and 192 DPI (LogPixels in the prefix): the
               probe shows the program's own windows and reports every text
               as the toolkit measures it; kanade.exe itself at each scale
               above 96; at 96 the probe's windows are told that they moved
               to a monitor at 144 (WM_DPICHANGED). Client sizes, text fit,
               the scaled settings box under the pointer; screenshots go to
               demo/screenshots/scales beside those of scripts/run.sh
  local attacker  hard links and a linked repos folder in another program
               folder leave every file outside unchanged
  record       what is removed (record_cases.py)
  game running what runs beside the patcher (game_running_cases.py): the
               probe holding a module open as the game, and as a crash
               handler in the game folder; a shell there; a lock file held
               by another program; an uninstall that cannot remove a file;
               a blocked self-upgrade; a virus scanner removing the new
               build
  proxy        tinyproxy on the loopback as the proxy that Windows is set to
               use, as its settings dialog writes it: a fixed proxy per
               scheme, its bypass list naming the host, a PAC script, a PAC
               list whose first proxy is dead (then tinyproxy, or DIRECT),
               a script that never ends (abandoned, no core left spinning);
               and the proxy stopped

Over all of them, nginx's access log shows every request of kanade.exe
(repository files, modules and builds) made over HTTP/2: Schannel offered h2
by ALPN and curl multiplexed on it.

Usage: kanade_wine_test.py KANADE_EXE KANADE_REPO [PROBE_EXE]
(KANADE_REPO is the Linux build of the publisher's tool; PROBE_EXE defaults
to kanade-win32-probe.exe beside KANADE_EXE. KANADE_E2E_KEEP=DIR keeps the
sandbox and pictures there; after a failure they are kept anyway.
KANADE_E2E_TRANSCRIPTS=DIR keeps there, normalised, what each scenario's
runs added to kanade.log, for compare_transcripts.py.)
Xvfb, nginx, wineserver and every Wine process are stopped at the end
whatever happens.
"""
import getpass
import hashlib
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time

from PIL import Image

# The shared helpers live one folder up.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import desktop  # noqa: E402
from desktop import (GAME_VERSION, LUA_MODULE, RepositoryServer, Run, console_row,  # noqa: E402
                     is_green, is_white, row)
from e2e_common import (GAME_EXE, MAIN_TITLE, NOT_APPLIED, READY, SCALES,  # noqa: E402
                        SETTINGS_TITLE, SOURCE_DIR, STARTED, KanadeLog, Tinyproxy, changes,
                        check, check_layout, check_lines, check_smooth_backdrop, console_title,
                        files_below, free_port, ini_bytes, install_lines, listening, main,
                        own_copy, parse_layout,
                        read_bytes, save_transcript, scaled, scaled_rect, screenshot_folder,
                        secret_key, segments, snapshot, start_display, wait_until,
                        without_progress, write_files)
from game_running_cases import Background, game_running_cases  # noqa: E402
from record_cases import record_cases  # noqa: E402
from x11 import count, die_with_parent, geometry  # noqa: E402

SIGN_WINDOWS = os.path.join(SOURCE_DIR, "scripts", "sign-windows.sh")
WINE_PREFIX_SCRIPT = os.path.join(SOURCE_DIR, "tests", "e2e", "wine_prefix.sh")

DIALOG_TITLE = "SotA ゲームフォルダを指定する"
OWN_REPOSITORY = "/repos/kanade-patcher-win.repo"

# Windows paths inside the prefix.
PROGRAM = "C:\\カナデ パッチャー"
CA_FILE = "C:\\証明書 フォルダ\\ca.pem"
STEAM_ROOT = "C:\\Program Files (x86)\\Steam"
STEAM_LIBRARY = "D:\\Steam Library"
STEAM_GAME = STEAM_LIBRARY + "\\steamapps\\common\\Shroud of the Avatar"
STANDALONE_GAME = "D:\\ゲーム フォルダ\\Shroud of the Avatar"
BROWSED_GAME = "D:\\ゲーム\\Shroud of the Avatar"
RECORD_PROGRAM = "C:\\record"
RECORD_GAME = "C:\\record game"
RECORD_MOVED_GAME = "D:\\moved\\record game"


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Server(RepositoryServer):
    """The shared server (desktop.py) addressed as https://localhost:PORT
    (Schannel in curl matches host names only), with kanade.exe published
    as the program's own build."""

    def __init__(self, root, kanade_exe, repo_tool):
        super().__init__(root, repo_tool, 200_000, 900, host="localhost")
        self.publish_program(read_bytes(kanade_exe))

    def publish_program(self, body):
        """Publishes `body` as the program's own build, as the team does."""
        build = os.path.join(os.path.dirname(self.www), "builds", sha256(body), "kanade.exe")
        write_files(os.path.dirname(build), {"kanade.exe": body})
        subprocess.run([self.repo_tool, "publish", "--key", secret_key(), "--out", self.www,
                        "--base-url", self.url, "--windows", build],
                       check=True, capture_output=True, timeout=120)


class Wine:
    """A prefix with the game, Steam, the data folder and the program, and
    the commands that run in it; the player's machine of the shared
    scenarios (desktop.py), the stand-alone game folder its game."""
    upgrade = "upgrade_kanade.exe"
    own_repository = OWN_REPOSITORY
    # A prefix without proxy settings detects, and finds no script here.
    no_proxy = "! no proxy; automatic detection: no proxy script was found (WinHTTP error 12180)"

    def __init__(self, root, display, server, kanade_exe, title):
        self.build, self.title = kanade_exe, title
        self.prefix = os.path.join(root, "prefix")
        self.drive_d = os.path.join(root, "drive_d")
        self.pictures = os.path.join(root, "pictures")
        os.makedirs(self.drive_d)
        os.makedirs(self.pictures)
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        # Japanese arguments reach Wine through the Unix code page: UTF-8.
        env.update(DISPLAY=display, WINEPREFIX=self.prefix, WINEARCH="win64", WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.env = env
        with self.output() as out:
            made = subprocess.run(["bash", WINE_PREFIX_SCRIPT, self.prefix], env=env, stdout=out,
                                  stderr=out, timeout=180)
        if made.returncode != 0:
            raise RuntimeError("wine_prefix.sh failed, see wine.out")
        # A server that outlives each program by a while keeps every wine
        # command quick; the end of the test kills it.
        with self.output() as out:
            subprocess.run(["wineserver", "-p30"], env=env, stdout=out, stderr=out, timeout=30)
        os.symlink(self.drive_d, os.path.join(self.prefix, "dosdevices", "d:"))

        users = os.path.join(self.prefix, "drive_c", "users")
        user = getpass.getuser()
        if not os.path.isdir(os.path.join(users, user)):
            user = next(n for n in sorted(os.listdir(users)) if n != "Public")
        self.data_win = (f"C:\\users\\{user}\\AppData\\Roaming\\Portalarium\\"
                         "Shroud of the Avatar")
        self.data = self.unix(self.data_win)
        self.fifo = os.path.join(self.data, "Lua", "kanade-fifo")
        self.program = self.unix(PROGRAM)
        self.standalone = self.unix(STANDALONE_GAME)
        self.steam_game = self.unix(STEAM_GAME)
        self.browsed = self.unix(BROWSED_GAME)
        for game in (self.standalone, self.steam_game, self.browsed):
            write_files(game, {GAME_EXE: b"MZ"})
        write_files(self.data, {"CurrentPlayerData.xml": b"<PlayerData/>\r\n"})
        steamapps = os.path.join(self.unix(STEAM_ROOT), "steamapps")
        os.makedirs(steamapps)
        library = STEAM_LIBRARY.replace("\\", "\\\\")
        write_files(steamapps, {"libraryfolders.vdf": (
            '"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"C:\\\\Program Files (x86)\\\\Steam"\n'
            '\t}\n\t"1"\n\t{\n\t\t"path"\t\t"%s"\n\t\t"apps"\n\t\t{\n\t\t\t"326160"\t\t"1"\n'
            '\t\t}\n\t}\n}\n' % library).encode()})
        write_files(os.path.join(self.unix(STEAM_LIBRARY), "steamapps"), {
            "appmanifest_326160.acf": b'"AppState"\n{\n\t"appid"\t\t"326160"\n'
                                      b'\t"installdir"\t\t"Shroud of the Avatar"\n}\n'})
        write_files(os.path.dirname(self.unix(CA_FILE)),
                    {os.path.basename(self.unix(CA_FILE)): read_bytes(server.ca)})
        self.reg_add("HKCU\\SOFTWARE\\Valve\\Steam", "SteamPath", STEAM_ROOT.replace("\\", "/"))
        self.reg_add("HKLM\\SOFTWARE\\WOW6432Node\\Portalarium\\Shroud of the Avatar", "Path",
                     STANDALONE_GAME)
        os.makedirs(self.program)
        shutil.copyfile(kanade_exe, os.path.join(self.program, "kanade.exe"))
        self.env.update(KANADE_REPOSITORY_URL=server.url, CURL_CA_BUNDLE=CA_FILE)
        self.game = self.standalone
        self.ini = os.path.join(self.program, "kanade.ini")
        self.log = KanadeLog(os.path.join(self.program, "kanade.log"))

    def unix(self, windows_path):
        drive, rest = windows_path.split(":", 1)
        base = os.path.join(self.prefix, "drive_c") if drive.upper() == "C" else self.drive_d
        return os.path.join(base, *[p for p in rest.split("\\") if p])

    def shown(self, path):
        """A host path on drive C: or D: as Windows names it."""
        for drive, base in (("C:", os.path.join(self.prefix, "drive_c")), ("D:", self.drive_d)):
            relative = os.path.relpath(path, base)
            if not relative.startswith(".."):
                return drive + "\\" + relative.replace(os.sep, "\\")
        raise ValueError(path + " is on no drive")

    def output(self):
        """Wine's own messages go to a file: a pipe would stay open in the
        Wine services that the first program starts."""
        return open(os.path.join(os.path.dirname(self.prefix), "wine.out"), "ab")

    def reg_add(self, key, name, value):
        with self.output() as out:
            subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value,
                            "/f"], env=self.env, check=True, stdout=out, stderr=out, timeout=60)

    def set_dpi(self, dpi):
        """The display scale that programs started from now on see: LogPixels
        for the user and for the current configuration, in one import."""
        values = "".join(f'[{key}]\r\n"LogPixels"=dword:{dpi:08x}\r\n\r\n' for key in (
            "HKEY_CURRENT_USER\\Control Panel\\Desktop",
            "HKEY_CURRENT_CONFIG\\Software\\Fonts"))
        with open(os.path.join(self.prefix, "drive_c", "dpi.reg"), "w") as f:
            f.write("REGEDIT4\r\n\r\n" + values)
        with self.output() as out:
            subprocess.run(["wine", "reg", "import", "C:\\dpi.reg"], env=self.env, check=True,
                           stdout=out, stderr=out, timeout=60)

    def start(self, *args):
        """kanade.exe started from its folder, as a shortcut would."""
        with self.output() as out:
            return subprocess.Popen(["wine", "kanade.exe", *args], cwd=self.program, env=self.env,
                                    stdout=out, stderr=out, preexec_fn=die_with_parent)

    def launch(self, *args):
        runs_before = len(self.log.runs())
        return WineRun(self, self.start(*args), runs_before, self.env)

    def start_elsewhere(self, folder, *args, url=None):
        """The program folder's kanade.exe run from another current folder:
        its image is busy while its settings and log live in `folder`; `url`
        stands for the repository server."""
        os.makedirs(folder, exist_ok=True)
        env = dict(self.env, KANADE_REPOSITORY_URL=url) if url else self.env
        with self.output() as out:
            return subprocess.Popen(["wine", os.path.join(self.program, "kanade.exe"), *args],
                                    cwd=folder, env=env, stdout=out, stderr=out,
                                    preexec_fn=die_with_parent)

    def run_elsewhere(self, folder, *args, url=None):
        """start_elsewhere's run to its end: an -uninstall run ends by itself,
        or stays on screen when it failed and is closed then; another is closed
        once it has logged its closing line. Its exit code (None when it had
        to be killed) and the closing lines it logged."""
        log = KanadeLog(os.path.join(folder, "kanade.log"))
        before = len(log.closing())
        proc = self.start_elsewhere(folder, *args, url=url)
        try:
            if "-uninstall" not in args:
                wait_until(lambda: len(log.closing()) > before, 60, 0.3)
            if "-uninstall" not in args or not wait_until(lambda: proc.poll() is not None, 20, 0.3):
                main = self.find_window(MAIN_TITLE, 10)
                if main:
                    self.close(main)
            wait_until(lambda: proc.poll() is not None, 60, 0.3)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
                return None, log.closing()[before:]
        return proc.returncode, log.closing()[before:]

    def xdo(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=20).stdout

    def windows(self, title):
        found = self.xdo("search", "--name", "^" + re.escape(title) + "$").split()
        return [w for w in found if self.xdo("getwindowname", w).rstrip("\n") == title]

    def find_window(self, title, timeout):
        found = wait_until(lambda: self.windows(title), timeout, 0.2)
        return found[0] if found else None

    def click(self, window, x, y):
        self.xdo("mousemove", "--window", window, str(x), str(y), "click", "1")

    def close(self, window):
        """Alt+F4: Wine turns it into the close request of the window."""
        self.xdo("key", "--window", window, "alt+F4")

    def shot(self, window, name):
        return self.shoot_to(window, os.path.join(self.pictures, name + ".png"))

    def shoot_to(self, window, path):
        subprocess.run(["import", "-window", window, path], env=self.env, capture_output=True,
                       timeout=30)
        try:
            return Image.open(path).convert("RGB")
        except OSError:
            return None

    def programs(self):
        """Live processes of this prefix running a kanade executable."""
        mark = ("WINEPREFIX=" + self.prefix).encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    command = f.read()
                with open(f"/proc/{pid}/environ", "rb") as f:
                    environment = f.read().split(b"\0")
                with open(f"/proc/{pid}/stat", "rb") as f:
                    zombie = f.read().rsplit(b")", 1)[-1].split()[0] == b"Z"
            except OSError:
                continue
            if b"kanade" in command.lower() and mark in environment and not zombie:
                found.append(int(pid))
        return found

class WineRun(Run):
    """kanade.exe started in the prefix (desktop.Run)."""

    def find_window(self, title, timeout):
        return self.pc.find_window(title, timeout)

    def windows(self, title):
        return self.pc.windows(title)

    def request_close(self, window):
        self.pc.close(window)

    def shoot(self, name):
        return self.pc.shot(self.window, name)


# Pictures.
def is_dark(p):
    return max(p) < 90


def is_red_ink(p):
    """Red text with its anti-aliased fringes on the grey dialog face."""
    return p[0] > 150 and p[0] > p[1] + 80 and p[0] > p[2] + 80


def is_green_ink(p):
    """Green text with its ClearType fringes, on a darkened backdrop."""
    return p[1] > 100 and p[1] > p[0] + 40 and p[1] > p[2] + 40


def glyph_shapes(image, y, test):
    """The ink of the line at y cut at empty columns: whole glyphs or their
    separate strokes, each at least 4 x 6 pixels, relative to their corner."""
    columns = [x for x in range(13, 600) if any(test(image.getpixel((x, y + j)))
                                                for j in range(16))]
    groups = []
    for x in columns:
        if groups and x == groups[-1][-1] + 1:
            groups[-1].append(x)
        else:
            groups.append([x])
    shapes = []
    for group in groups:
        ink = [(x, j) for x in group for j in range(16) if test(image.getpixel((x, y + j)))]
        x0 = min(x for x, _ in ink)
        y0 = min(j for _, j in ink)
        shape = frozenset((x - x0, j - y0) for x, j in ink)
        if max(x for x, _ in shape) >= 3 and max(j for _, j in shape) >= 5:
            shapes.append(shape)
    return shapes


def box_reference(shape):
    """What a font without Japanese draws for each character: the hollow
    rectangle around it."""
    width = max(x for x, _ in shape) + 1
    height = max(y for _, y in shape) + 1
    return ({(x, y) for x in range(width) for y in (0, height - 1)} |
            {(x, y) for x in (0, width - 1) for y in range(height)})


def check_japanese_glyphs(image, y, test, what):
    """The line at y is drawn in real glyphs: none of its shapes is close to
    the box of a missing glyph (those differ from it by 8 pixels, real
    glyphs by 20 or more), and the shapes are not all alike."""
    shapes = glyph_shapes(image, y, test)
    if not check(len(shapes) >= 15, f"{what}: text is drawn ({len(shapes)} glyph shapes)"):
        return
    boxes = [s for s in shapes if len(s ^ box_reference(s)) <= 12]
    check(not boxes, f"{what}: {len(boxes)} of {len(shapes)} glyphs are drawn as boxes")
    check(len(set(shapes)) >= 10, f"{what}: the glyphs differ from one another")


def module_windows_paths(ctx, name, folder):
    return [folder + "\\" + m.replace("/", "\\") for m in ctx.server.module_paths(name)]


def transcribe(ctx, case, data):
    save_transcript("wine", case, data,
                    {ctx.root: "<root>", ctx.server.url: "https://localhost:<port>"})


def check_version_resources(kanade_exe, title):
    """kanade.exe's version resource and manifest carry the version that the
    title shows: one number, from the project's VERSION."""
    version = title.rsplit(" ", 1)[-1]
    numbers = ([int(n) for n in version.split(".")] + [0, 0, 0])[:4]
    body = read_bytes(kanade_exe)
    fixed = body.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO
    check(fixed >= 0 and struct.unpack_from("<4H", body, fixed + 8) ==
          (numbers[1], numbers[0], numbers[3], numbers[2]),
          f"the version resource's file version is {version}")
    for key in ("FileVersion", "ProductVersion"):
        text = re.compile(re.escape((key + "\0").encode("utf-16-le")) + b"(?:\0\0)*" +
                          re.escape((version + "\0").encode("utf-16-le")))
        check(text.search(body) is not None, f"the version resource's {key} is {version}")
    dotted = ".".join(map(str, numbers))
    check(f'name="KanadePatcher" version="{dotted}"'.encode() in body,
          f"the manifest names version {dotted}")


def lit_settings_box(picture, dpi):
    """Whether the settings box's top edge is yellow (the pointer is on it)."""
    x, y = scaled(576, dpi), scaled(5, dpi)
    return (picture is not None and x < picture.width and y < picture.height and
            all(abs(a - b) <= 2 for a, b in zip(picture.getpixel((x, y)), (255, 255, 0))))


def ready_row(dpi):
    """The last console row, where the ready message goes, as a box."""
    x, y, w, h = scaled_rect((13, 266, 587, 16), dpi)
    return (x, y, x + w, y + h)


def check_client(wine, window, width, height, dpi, what):
    g = geometry(wine.env, window)
    check((g["w"], g["h"]) == (scaled(width, dpi), scaled(height, dpi)),
          f"{what}: client area {width} x {height} x {dpi}/96, got {g['w']} x {g['h']}")
ACCESS_LINE = re.compile(r'^\S+ - \S+ \[[^]]*\] "(\S+) (\S+) (\S+)" (\d+) \d+ "[^"]*" "([^"]*)"$')
USER_AGENT = "Mozilla/5.0 Gecko/41.0 Firefox/41.0"


def check_http2(server):
    """Every request of kanade.exe in nginx's access log is HTTP/2; two of
    them are shown."""
    with open(os.path.join(server.state, "access.log"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    ours = [(line, m.group(2), m.group(3)) for line, m in
            ((line, ACCESS_LINE.match(line)) for line in lines) if m and m.group(5) == USER_AGENT]
    repos = [entry for entry in ours if entry[1].startswith("/repos/")]
    files = [entry for entry in ours if entry[1].startswith("/files/")]
    older = sorted({protocol for _, _, protocol in ours if protocol != "HTTP/2.0"})
    check(len(repos) >= 10 and len(files) >= 5,
          f"nginx logged kanade.exe's requests ({len(repos)} repositories, {len(files)} files)")
    check(not older, f"kanade.exe made every request over HTTP/2 (others: {older})")
    for line, _, _ in repos[:1] + files[:1]:
        print("      access log: " + line)


def look_at_settings(wine, settings):
    """The first run's settings window as Win32 draws it."""
    picture = wine.shot(settings, "settings")
    # Detected folders are long paths; "検出されませんでした。" would end
    # before x 240.
    check(picture is not None and count(picture, (240, 192, 440, 208), is_dark) > 15
          and count(picture, (240, 212, 440, 228), is_dark) > 15,
          "the settings window shows both detected game folders")
    # The not-implemented line and the two warning lines are red.
    for box in ((390, 273, 570, 289), (370, 410, 580, 426), (370, 430, 580, 446)):
        check(picture is not None and count(picture, box, is_red_ink) > 15,
              f"red text in the settings window at {box}")
    # The substitute font is wider than Meiryo UI: one-line labels run
    # past their boxes instead of wrapping or losing their last characters.
    check(picture is not None and count(picture, (20, 204, 100, 208),
                                        lambda p: max(p) < 160) == 0,
          "インストール版： stays on one line")
    check(picture is not None and count(picture, (350, 410, 370, 446), is_red_ink) +
          count(picture, (580, 410, 600, 446), is_red_ink) > 15,
          "the warning lines are drawn whole, past their boxes")


def first_run_scenario(ctx):
    """No kanade.ini: own build fetched, settings window by itself, OK saves
    and restarts; the run installs into the stand-alone folder. The listed
    build is the running one: copied, not fetched. The Lua module lies there
    as an earlier build left it, with its copy of the Lua repository: the
    run takes it over and removes it."""
    wine = ctx.wine
    access_before = len(ctx.server.access_log())
    write_files(wine.fifo, {"fifo1.txt": b"1", "FIFO2.TXT": b"2", "other.txt": b"3"})
    write_files(wine.data, LUA_MODULE)
    write_files(os.path.join(wine.program, "repos"), {"kanade-lua.repo": read_bytes(
        os.path.join(ctx.server.www, "repos", "kanade-lua.repo"))})
    steam_before = files_below(wine.steam_game)
    run = wine.launch()
    try:
        if desktop.first_run(ctx, wine, run, tick=True,
                             look=lambda settings: look_at_settings(wine, settings)) is None:
            return
        desktop.check_installing_run(ctx, wine, run, "kanade-conv-test", lua=True, restarted=True)
        check(files_below(wine.steam_game) == steam_before, "the Steam copy is left alone")
        fetched = ctx.server.access_log()[access_before:]
        check(OWN_REPOSITORY in fetched and
              ctx.server.body_path(read_bytes(ctx.kanade)) not in fetched,
              "the own repository is fetched, the listed build's body never: it is the running one")

        def painted(p):
            return p is not None and count(p, console_row(8), is_green) > 60
        picture = wait_until(lambda: (lambda p: p if painted(p) else None)(
            run.shoot("ready")), 10, 0.3)
        if check(picture is not None, "the ready message is painted green at (13, 266)"):
            check(count(picture, row(85, 100), is_white) > 60,
                  "the game folder is painted in white at (100, 85)")
            check(count(picture, row(102, 100), is_white) > 60,
                  "the data folder is painted in white at (100, 102)")
            check_japanese_glyphs(picture, 138 + 16 * 8, is_green_ink, "the ready message")
        run.close_keeping(ini_bytes(1, "kanade-conv-test"))
    finally:
        run.stop()


def current_scenario(ctx):
    """Everything in place: nothing is downloaded or rewritten. At 150 %
    (LogPixels 144): both windows have the scaled size, the ready message is
    in the scaled last row, the scaled settings box lights under the pointer
    and opens the settings window."""
    ctx.wine.set_dpi(144)
    try:
        desktop.current(ctx, ctx.wine, "kanade-conv-test",
                        look=lambda run: show_at_scale(ctx, run, 144))
    finally:
        ctx.wine.set_dpi(96)


def show_at_scale(ctx, run, dpi):
    """kanade.exe's windows at `dpi`, photographed beside scripts/run.sh's
    pictures; the settings window is closed again and the restarted run
    waited for."""
    wine, main = ctx.wine, run.window
    pictures = screenshot_folder()
    percent = dpi * 100 // 96
    what = f"kanade.exe at {percent} %"
    check_client(wine, main, 600, 300, dpi, what)
    wine.xdo("mousemove", "--window", main, str(scaled(576, dpi)), str(scaled(21, dpi)))
    path = os.path.join(pictures, f"kanade-exe-{percent}-main.png")
    picture = wait_until(lambda: (lambda p: p if lit_settings_box(p, dpi) else None)(
        wine.shoot_to(main, path)), 5, 0.2)
    check(picture is not None, f"{what}: the settings box lights under the pointer")
    check(picture is not None and count(picture, ready_row(dpi), is_green) > 60 * dpi // 96,
          f"{what}: the ready message is painted green in the scaled last console row")
    check_smooth_backdrop(picture, dpi, what)
    wine.xdo("click", "1")
    settings = wine.find_window(SETTINGS_TITLE, 15)
    if not check(settings is not None, f"{what}: the settings box opens the settings window"):
        return
    check_client(wine, settings, 600, 500, dpi, what + ", settings")
    time.sleep(0.5)
    wine.shoot_to(settings, os.path.join(pictures, f"kanade-exe-{percent}-settings.png"))
    wine.close(settings)
    check(run.wait_ready(1) is not None,
          f"{what}: the run restarted by closing the settings gets ready")


def uninstall_scenario(ctx):
    """-uninstall removes the translation and the Lua module, keeps the
    game's own files and the settings, and ends by itself."""
    desktop.uninstall(ctx, ctx.wine, "kanade-conv-test")


def browse_scenario(ctx):
    """The file dialog of the settings window picks a folder with Japanese
    in its name; OK saves it as the override and the run installs there."""
    wine = ctx.wine
    write_files(wine.program, {"kanade.ini": ini_bytes(0, "kanade-test")})
    run = wine.launch()
    try:
        if not check(run.wait_ready(0) is not None, "the run reaches the ready message"):
            return
        main = run.main_window(10)
        if not main:
            return
        wine.click(main, 576, 21)
        settings = wine.find_window(SETTINGS_TITLE, 15)
        if not check(settings is not None, "the settings box opens the settings window"):
            return
        time.sleep(0.5)
        wine.click(settings, 550, 170)  # 参照...
        dialog = wine.find_window(DIALOG_TITLE, 15)
        if not check(dialog is not None, "参照... opens the file dialog with its Japanese title"):
            return
        time.sleep(1)
        # A name that does not exist in another game folder: only the folder
        # and its executable count. Typed through XTEST so that case and
        # Japanese arrive as typed.
        wine.click(dialog, 300, 373)
        time.sleep(0.3)
        wine.xdo("key", "End", "shift+Home", "BackSpace")
        wine.xdo("type", "--delay", "40", BROWSED_GAME + "\\Language.txt")
        time.sleep(0.5)
        wine.shot(dialog, "dialog")
        wine.xdo("key", "Return")
        if not check(wait_until(lambda: not wine.windows(DIALOG_TITLE), 10),
                     "the dialog closes"):
            return
        time.sleep(0.5)
        wine.click(settings, 28, 262)  # 言語パッチを自動適用する
        time.sleep(0.3)
        wine.click(settings, 540, 472)  # OK
        expected_ini = ini_bytes(1, "kanade-test", BROWSED_GAME)
        check(wait_until(lambda: read_bytes(wine.ini) == expected_ini, 15),
              f"kanade.ini holds the chosen folder in UTF-8: {read_bytes(wine.ini)!r}")
        done = run.wait_ready(1)
        if check(done is not None, "closing the settings restarts the run"):
            published = ctx.server.published["kanade-test"]
            paths = module_windows_paths(ctx, "kanade-test", BROWSED_GAME)
            expected = []
            for module, path in zip(ctx.server.module_paths("kanade-test"), paths):
                expected += install_lines(path, len(published[module]))
            start = done.index(expected[0]) if expected[0] in done else len(done)
            check_lines(without_progress(done, paths)[start:start + len(expected)], expected,
                        "the restarted run installs into the chosen folder")
            for module, body in published.items():
                check(read_bytes(os.path.join(wine.browsed, *module.split("/"))) == body,
                      f"{module} is installed in the chosen folder")
            check(files_below(wine.standalone) == {GAME_EXE, GAME_VERSION},
                  "the stand-alone folder gets nothing")
        code = run.close()
        check(code == 0, f"the program ends with exit code 0 ({code})")
    finally:
        run.stop()


def countdown_values(lines):
    values = []
    for line in lines:
        match = re.fullmatch(r"UPG:[<>] -waitfor: アップグレード待機中: (\d+\.\d) 秒", line)
        if match:
            values.append(match.group(1))
    return values


def check_upgrade(ctx, runs_needed, body, generation, old_inode):
    """The runs of one hand-over: the old build downloads the new one and
    starts it, the copy counts down, copies itself over kanade.exe and
    starts it, and the new kanade.exe finds itself current. The log must
    reach `runs_needed` runs."""
    wine = ctx.wine
    program_exe = PROGRAM + "\\\\kanade.exe"
    upgrade_exe = PROGRAM + "\\\\upgrade_kanade.exe"

    def finished():
        runs = wine.log.runs()
        if len(runs) < runs_needed:
            return None
        last = segments(runs[-1], wine.title)
        return runs if runs[-1][0] == STARTED and last and "> " + READY in last[-1] else None
    runs = wait_until(finished, 90, 0.3)
    if not check(runs is not None, f"generation {generation}: the new kanade.exe gets ready"):
        return None
    old, copy, new = runs[-3], runs[-2], runs[-1]
    check(old[-1] == "> アップデート準備中: " + upgrade_exe,
          f"generation {generation}: the old build announces the upgrade and ends: {old[-1]!r}")
    check(all(line.startswith("UPG:") for line in copy) and copy[0] == "UPG:" + STARTED,
          f"generation {generation}: every line of the upgrade copy carries UPG:")
    # The countdown shows the time left in tenths for as long as the old
    # build still runs; the copy goes on once it has ended.
    values = countdown_values(copy)
    check(values == [f"{t / 10:.1f}" for t in range(100, 100 - len(values), -1)] and values,
          f"generation {generation}: the countdown runs down from 10.0 in tenths: {values[:3]}"
          f"{'...' if len(values) > 3 else ''} ({len(values)} lines)")
    check(copy[-2:] == ["UPG:> -upgrade: Performing software upgrade...",
                        f"UPG:> アップデート処理中: {upgrade_exe} -> {program_exe}"],
          f"generation {generation}: the copy reports the hand-over: {copy[-2:]!r}")
    check("< レポジトリ適用: kanade-patcher.repo は更新なし" in new,
          f"generation {generation}: the new kanade.exe finds itself current")
    digest = sha256(body)
    check(sha256(read_bytes(os.path.join(wine.program, "kanade.exe")) or b"") == digest,
          f"generation {generation}: kanade.exe has the new digest")
    check(sha256(read_bytes(os.path.join(wine.program, "upgrade_kanade.exe")) or b"") == digest,
          f"generation {generation}: upgrade_kanade.exe stays as the reference copy")
    check(os.stat(os.path.join(wine.program, "kanade.exe")).st_ino != old_inode,
          f"generation {generation}: kanade.exe was replaced by a rename, not written in place")
    check(not [n for n in os.listdir(wine.program) if ".kanade-tmp-" in n],
          f"generation {generation}: no temporary file is left")
    return runs


def code_signing_ca(folder):
    """A code-signing CA and a publisher certificate it issued, as
    tests/e2e/windows/sign_test.sh makes them: (CA, certificate, key)."""
    os.makedirs(folder)
    ca, ca_key, cert, key, csr, ext = (os.path.join(folder, name) for name in (
        "ca.pem", "ca.key", "publisher.pem", "publisher.key", "publisher.csr", "publisher.ext"))
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    for command in (
            ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
             "/CN=Kanade Wine Test Code CA", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign", "-keyout", ca_key, "-out", ca],
            ["req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Kanade Wine Test Publisher",
             "-keyout", key, "-out", csr],
            ["x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-days",
             "2", "-extfile", ext, "-out", cert]):
        subprocess.run(["openssl", *command], check=True, capture_output=True, timeout=60)
    return ca, cert, key


def authenticode_signed(body, folder):
    """`body` signed by scripts/sign-windows.sh with a code-signing CA made
    here: the signed bytes and the CA file."""
    ca, cert, key = code_signing_ca(os.path.join(folder, "code-signing"))
    exe = os.path.join(folder, "signed", "kanade.exe")
    write_files(os.path.dirname(exe), {"kanade.exe": body})
    env = {k: v for k, v in os.environ.items()
           if k not in ("KANADE_SIGN_PFX", "KANADE_SIGN_PASSWORD", "KANADE_SIGN_TIMESTAMP_URL")}
    env.update(KANADE_SIGN_CERT=cert, KANADE_SIGN_KEY=key)
    subprocess.run(["bash", SIGN_WINDOWS, exe], env=env, check=True, capture_output=True,
                   timeout=120)
    return read_bytes(exe), ca


def self_upgrade_scenario(ctx):
    """Two newer builds in turn (bytes appended to the PE file are
    harmless): the first, signed with Authenticode, reaches a freshly
    started kanade.exe, the second a running one through the refresh box."""
    wine = ctx.wine
    original = read_bytes(ctx.kanade)
    second, code_ca = authenticode_signed(original + b"\0kanade generation 2\0",
                                          os.path.dirname(wine.prefix))
    third = original + b"\0kanade generation 3\0"
    program_exe = os.path.join(wine.program, "kanade.exe")
    ctx.server.publish_program(second)
    inode = os.stat(program_exe).st_ino
    runs_before = len(wine.log.runs())
    proc = wine.start()
    try:
        # Every 20 ms: when the old build ends, and when the copy begins its
        # countdown and performs the upgrade.
        countdown, performing = ("UPG:> -waitfor: アップグレード待機中: 10.0 秒",
                                 "UPG:> -upgrade: Performing software upgrade...")
        seen = {}
        before = {line: wine.log.lines().count(line) for line in (countdown, performing)}
        deadline = time.time() + 60
        while performing not in seen and time.time() < deadline:
            now = time.time()
            if "ended" not in seen and proc.poll() is not None:
                seen["ended"] = now
            lines = wine.log.lines()
            for line in (countdown, performing):
                if line not in seen and lines.count(line) > before[line]:
                    seen[line] = now
            time.sleep(0.02)
        try:
            code = proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            code = None
        seen.setdefault("ended", time.time())
        check(code == 0, f"the old build ends with exit code 0 after starting the copy ({code})")
        if check(countdown in seen and performing in seen,
                 "the copy counts down and performs the upgrade"):
            waited = seen[performing] - max(seen["ended"], seen[countdown])
            print(f"  hand-over: the old build ended {seen['ended'] - seen[countdown]:+.2f} s "
                  f"after the copy's countdown began; the copy performed the upgrade "
                  f"{seen[performing] - seen['ended']:+.2f} s after the old build ended",
                  flush=True)
            check(seen["ended"] <= seen[performing] + 0.04 and waited < 0.5,
                  f"the copy goes on {waited:.2f} s after the old build ended and its countdown "
                  f"began ({seen[performing] - seen['ended']:.2f} s after the old build ended, "
                  "with the copy's start), not after -waitfor's ten seconds")
        runs = check_upgrade(ctx, runs_before + 3, second, 2, inode)
        if runs is None:
            return
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", code_ca, "-in",
                                   program_exe], capture_output=True, text=True, timeout=60)
        said = (verified.stdout + verified.stderr).strip().splitlines()
        check(verified.returncode == 0, "osslsigncode verifies the upgraded kanade.exe against "
              "the code-signing CA: " + (said[-1] if said else ""))
        # kanade.ini names the chosen folder in Japanese: read back, it still
        # decides where the translation is.
        check("< レポジトリ適用: kanade-test.repo は更新なし" in runs[-1] and
              files_below(wine.standalone) == {GAME_EXE, GAME_VERSION},
              "the chosen folder read back from kanade.ini is found current")
        main = wine.find_window(MAIN_TITLE, 15)
        if not check(main is not None, "the upgraded kanade.exe shows its window"):
            return
        wait_until(lambda: len(wine.windows(MAIN_TITLE)) == 1, 10)
        main = wine.windows(MAIN_TITLE)[0]
        picture = wine.shot(main, "upgraded")
        check(picture is not None and count(picture, console_row(8), is_green) > 60,
              "the upgraded build paints its ready message")

        ctx.server.publish_program(third)
        runs_before = len(wine.log.runs())
        inode = os.stat(program_exe).st_ino
        wine.click(main, 26, 21)  # 更新
        # Windows will not replace a program that runs: during the copy's
        # countdown another kanade.exe, started from another folder, keeps
        # the image busy.
        busy_folder = os.path.join(os.path.dirname(wine.prefix), "busy")
        busy = wine.start_elsewhere(busy_folder, "-nopatch")
        check(wait_until(lambda: os.path.exists(os.path.join(busy_folder, "kanade.log")), 9),
              "a second kanade.exe runs from another folder before the copy")
        check_upgrade(ctx, runs_before + 2, third, 3, inode)
        set_aside = [n for n in os.listdir(wine.program) if n.startswith("kanade.exe.kanade-old-")]
        check(len(set_aside) == 1, f"the running build was set aside, not overwritten: {set_aside}")
        check(busy.poll() is None, "the second kanade.exe ran all along")
        busy.kill()
        busy.wait()
        main = wine.find_window(MAIN_TITLE, 15)
        wait_until(lambda: len(wine.windows(MAIN_TITLE)) == 1, 10)
        windows = wine.windows(MAIN_TITLE)
        if check(len(windows) == 1, "one program is left running"):
            wine.close(windows[0])
        check(wait_until(lambda: not wine.programs(), 30, 0.2),
              "the last kanade.exe ends on a close request")
        # The next start removes what the upgrade set aside.
        final = wine.launch("-nopatch")
        gone = wait_until(lambda: not [n for n in os.listdir(wine.program)
                                       if n.startswith("kanade.exe.kanade-old-")], 30)
        check(gone, "the next start removes the set-aside build")
        # Closed once its run is over, so that the log ends the same each time.
        check(final.wait_ready(0) is not None, "the next start's run gets ready")
        if final.main_window(15):
            final.close()
        final.stop()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def keyboard_scenario(ctx):
    """Pointer and keys as a player uses them: on Windows the dialog manager
    drives the settings window."""
    desktop.keyboard(ctx.wine, ini_bytes(0, "kanade-test", BROWSED_GAME), "Win32")


class ProbeRun:
    """The probe's layout mode, its output in a file (a pipe would stay open
    in Wine's services)."""

    def __init__(self, ctx, move_dpi):
        wine = ctx.wine
        folder = os.path.join(os.path.dirname(wine.prefix), "probe")
        os.makedirs(folder, exist_ok=True)
        self.output = os.path.join(folder, "layout.txt")
        with open(self.output, "wb") as out:
            self.proc = subprocess.Popen(["wine", ctx.probe, "layout", STANDALONE_GAME,
                                          str(move_dpi)], cwd=folder, env=wine.env, stdout=out,
                                         stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)

    def lines(self):
        data = read_bytes(self.output) or b""
        return data.decode("utf-8", errors="replace").replace("\r", "").split("\n")[:-1]

    def layout(self, marker, nth=1, timeout=30):
        """The layout items by window printed before the nth `marker` line."""
        def ready():
            lines = self.lines()
            return lines if lines.count(marker) >= nth else None
        lines = wait_until(ready, timeout, 0.2)
        if lines is None:
            return None
        cut = [i for i, line in enumerate(lines) if line == marker][nth - 1]
        start = max([i for i, line in enumerate(lines[:cut]) if line in
                     ("ready", "settings", "moved")] + [-1]) + 1
        items = {}
        for line in lines[start:cut]:
            parsed = parse_layout(line)
            if parsed:
                items.setdefault(parsed[0], []).append(parsed[1])
        return items

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def probe_at_scale(ctx, dpi, pictures, move_dpi):
    """The program's own windows, built by the probe at `dpi`."""
    wine = ctx.wine
    percent = dpi * 100 // 96
    what = f"Win32 at {percent} %"
    probe = ProbeRun(ctx, move_dpi)
    try:
        shown = probe.layout("ready")
        main = wine.find_window(MAIN_TITLE, 10)
        if not check(shown is not None and main is not None, f"{what}: the probe's window opens"):
            return
        check_client(wine, main, 600, 300, dpi, what)
        check_layout(shown.get("main", []), dpi, f"{what}, main window")
        wine.xdo("mousemove", "--window", main, str(scaled(576, dpi)), str(scaled(21, dpi)))
        path = os.path.join(pictures, f"wine-{percent}-main.png")
        lit = wait_until(lambda: (lambda p: p if lit_settings_box(p, dpi) else None)(
            wine.shoot_to(main, path)), 5, 0.2)
        check(lit is not None, f"{what}: the settings box lights under the pointer")
        check_smooth_backdrop(lit, dpi, what)
        wine.xdo("click", "1")
        opened = probe.layout("settings")
        settings = wine.find_window(SETTINGS_TITLE, 10)
        if not check(opened is not None and settings is not None,
                     f"{what}: a click on the settings box opens the settings window"):
            return
        check_client(wine, settings, 600, 500, dpi, what + ", settings")
        check_layout(opened.get("settings", []), dpi, f"{what}, settings window")
        time.sleep(0.3)
        wine.shoot_to(settings, os.path.join(pictures, f"wine-{percent}-settings.png"))
        if move_dpi != dpi:
            # OK makes the probe send both windows WM_DPICHANGED.
            moved_what = f"Win32 moved from {percent} % to {move_dpi * 100 // 96} %"
            wine.click(settings, scaled(540, dpi), scaled(472, dpi))
            moved = probe.layout("moved")
            if check(moved is not None, f"{moved_what}: the windows take the new scale"):
                check_client(wine, main, 600, 300, move_dpi, moved_what)
                check_client(wine, settings, 600, 500, move_dpi, moved_what + ", settings")
                check_layout(moved.get("main", []), move_dpi, f"{moved_what}, main window")
                check_layout(moved.get("settings", []), move_dpi, f"{moved_what}, settings")
                time.sleep(0.3)
                wine.shoot_to(settings, os.path.join(
                    pictures, f"wine-{percent}-moved-{move_dpi * 100 // 96}-settings.png"))
            # The settings window covers the main window's canvas.
            wine.close(settings)
            wait_until(lambda: not wine.windows(SETTINGS_TITLE), 10)
            time.sleep(0.3)
            picture = wine.shoot_to(main, os.path.join(
                pictures, f"wine-{percent}-moved-{move_dpi * 100 // 96}-main.png"))
            check(picture is not None and count(picture, ready_row(move_dpi), is_green) > 60,
                  f"{moved_what}: the canvas repaints its ready line at the new scale")
    finally:
        probe.stop()
        wait_until(lambda: not wine.windows(MAIN_TITLE), 10)


def scales_scenario(ctx):
    """The program's windows at 96, 120, 144 and 192 DPI, built by the probe;
    kanade.exe itself was photographed at 100 % by the first run and at
    150 % by the run that found everything current."""
    wine = ctx.wine
    pictures = screenshot_folder()
    for name in ("ready", "settings"):
        source = os.path.join(wine.pictures, name + ".png")
        if os.path.exists(source):
            shutil.copyfile(source, os.path.join(
                pictures, f"kanade-exe-100-{'main' if name == 'ready' else name}.png"))
    try:
        for dpi in SCALES:
            wine.set_dpi(dpi)
            probe_at_scale(ctx, dpi, pictures, 144 if dpi == 96 else dpi)
    finally:
        wine.set_dpi(96)


def local_attacker_scenario(ctx):
    """Another account that may write the program folder (Downloads, say)
    plants hard links to files outside where kanade.exe writes, and a link
    to a folder of its own as repos. Wine cannot make a junction (mklink /J
    and FSCTL_SET_REPARSE_POINT fail), so a Unix link to a folder stands in
    for one: Wine reports it as a reparse point. Wine follows a Unix link to
    a file without reporting it, so symbolic links to files cannot be shown
    here. Every file outside keeps its bytes and times; the listed build,
    the running one, is copied over the hard link at upgrade_kanade.exe."""
    wine = ctx.wine
    folder = wine.unix("C:\\attacked")
    outside = wine.unix("C:\\outside")
    theirs = os.path.join(outside, "theirs")
    game = "C:\\attacked game"
    write_files(wine.unix(game), {GAME_EXE: b"MZ"})
    write_files(theirs, {"kanade-test.repo": b"their copy",
                         "kanade-lua.repo.kanade-tmp-0123456789abcdef": b"their file"})
    write_files(outside, {"kanade.log": b"outside log", "leftover": b"outside leftover",
                          "program.bin": b"outside program", "old.repo": b"outside repository",
                          "settings.ini": ini_bytes(0, "kanade-test", game)})
    leftover = "kanade.exe.kanade-tmp-0123456789abcdef"
    running = read_bytes(os.path.join(wine.program, "kanade.exe"))
    # (what, arguments, links: name -> what outside it points to)
    rows = [("a hard-linked log and a linked repos", ["-uninstall"],
             {"kanade.log": "kanade.log", "repos": "theirs", leftover: "leftover"}),
            ("hard links to settings, a repository and the upgrade", [],
             {"kanade.ini": "settings.ini", "repos/kanade-test.repo": "old.repo",
              "upgrade_kanade.exe": "program.bin"})]
    for what, args, links in rows:
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "repos"))
        for name, target in links.items():
            if target == "theirs":
                os.rmdir(os.path.join(folder, name))
                os.symlink(theirs, os.path.join(folder, name))
            else:
                os.link(os.path.join(outside, target), os.path.join(folder, name))
        before = snapshot(outside)
        access_before = len(ctx.server.access_log())
        code, closing = wine.run_elsewhere(folder, *args)
        # The log of an -uninstall row is a hard link: no line goes there. Its
        # repos/ is another user's link, so what is ours cannot be told: the
        # uninstall fails, stays on screen until closed, and exits 1.
        check(code == 1 if args else closing, f"local attacker, {what}: the run comes to its end")
        after = snapshot(outside)
        changed = changes(before, after)
        check(not changed, f"local attacker, {what}: nothing outside changes {changed}")
        check(not os.path.lexists(os.path.join(folder, leftover)),
              f"local attacker, {what}: leftovers go by their own name")
        transcribe(ctx, "local attacker " + what, read_bytes(os.path.join(folder, "kanade.log")))
        if "upgrade_kanade.exe" in links:
            upgrade = os.path.join(folder, "upgrade_kanade.exe")
            check(own_copy(upgrade, running), f"local attacker, {what}: upgrade_kanade.exe is a "
                  "copy of the running build in a file of its own")
            shown = "C:\\attacked\\upgrade_kanade.exe"
            lines = (read_bytes(os.path.join(folder, "kanade.log")) or b"").decode(
                "utf-8", "replace").split("\r\n")
            check([line for line in lines if shown in line] == install_lines(shown, len(running)),
                  f"local attacker, {what}: the copy is reported as a download")
            check(ctx.server.body_path(running) not in ctx.server.access_log()[access_before:],
                  f"local attacker, {what}: the running build is never fetched")


class RecordBox:
    """The sandbox of the shared record cases (record_cases.py) under Wine:
    kanade.exe run in C:\\record for the game in C:\\record game."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.wine = ctx.wine
        self.program = self.wine.unix(RECORD_PROGRAM)
        self.game = self.wine.unix(RECORD_GAME)

    def fresh(self):
        self.game = self.wine.unix(RECORD_GAME)
        shutil.rmtree(self.wine.unix(RECORD_MOVED_GAME), ignore_errors=True)
        for folder in (self.program, self.game):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
        write_files(self.program, {"kanade.ini": ini_bytes(1, "kanade-test", RECORD_GAME)})

    def move_game(self):
        moved = self.wine.unix(RECORD_MOVED_GAME)
        os.makedirs(os.path.dirname(moved), exist_ok=True)
        shutil.move(self.game, moved)
        self.game = moved
        write_files(self.program, {"kanade.ini": ini_bytes(1, "kanade-test", RECORD_MOVED_GAME)})

    def publish(self, files):
        folder = os.path.join(self.ctx.server.files, "record")
        shutil.rmtree(folder, ignore_errors=True)
        write_files(folder, files)
        self.ctx.server.build("record", "kanade-test")

    def run(self, *args, server_down=False):
        _, closing = self.wine.run_elsewhere(
            self.program, *args, url="https://localhost:9" if server_down else None)
        return closing[-1] if closing else None

    def transcribe(self, case):
        transcribe(self.ctx, "record " + case, read_bytes(os.path.join(self.program, "kanade.log")))

    # For game_running_cases.py.
    locks_files = True
    exe = "kanade.exe"

    @property
    def build(self):
        return read_bytes(os.path.join(self.wine.program, "kanade.exe"))

    def start(self, *args):
        return self.wine.start_elsewhere(self.program, *args)

    def own_program(self):
        program = os.path.join(self.program, "kanade.exe")
        shutil.copyfile(os.path.join(self.wine.program, "kanade.exe"), program)
        return program

    def start_own(self):
        with self.wine.output() as out:
            return subprocess.Popen(["wine", "kanade.exe"], cwd=self.program, env=self.wine.env,
                                    stdout=out, stderr=out, preexec_fn=die_with_parent)

    def publish_program(self, body):
        self.ctx.server.publish_program(body)

    def end_all(self):
        for pid in self.wine.programs():
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        wait_until(lambda: not self.wine.programs(), 30, 0.2)

    def shell(self):
        with self.wine.output() as out:
            return Background(subprocess.Popen(["wine", "cmd"], cwd=self.game, env=self.wine.env,
                                               stdin=subprocess.PIPE, stdout=out, stderr=out,
                                               preexec_fn=die_with_parent))

    def foreign_lock(self):
        """Windows has no lock on a folder: another program holds the lock
        file open without sharing, as anyone could open it."""
        return Holder(self.ctx, RECORD_PROGRAM, "kanade.lock", "other.exe")

    def close(self, proc):
        main = self.wine.find_window(MAIN_TITLE, 10)
        if main is None:
            return None
        self.wine.close(main)
        try:
            return proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait()

    def hold(self, relative, as_game):
        return Holder(self.ctx, RECORD_GAME, relative,
                      GAME_EXE if as_game else "UnityCrashHandler64.exe")


class Holder:
    """The probe keeping a file of the game open without sharing it, run
    from the game folder under `name`."""

    def __init__(self, ctx, game, relative, name):
        wine = ctx.wine
        self.name = name
        shutil.copyfile(ctx.probe, os.path.join(wine.unix(game), name))
        release = "C:\\hold-release"
        self.release_file = wine.unix(release)
        for leftover in (self.release_file, self.release_file + ".held"):
            if os.path.exists(leftover):
                os.remove(leftover)
        with wine.output() as out:
            self.proc = subprocess.Popen(
                ["wine", game + "\\" + name, "hold", game + "\\" + relative.replace("/", "\\"),
                 release], env=wine.env, stdout=out, stderr=out, preexec_fn=die_with_parent)
        wait_until(lambda: os.path.exists(self.release_file + ".held"), 30, 0.1)

    def release(self):
        if self.proc.poll() is None:
            open(self.release_file, "w").close()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def record_scenario(ctx):
    """Only what kanade.exe wrote, and still holds what it wrote, is removed
    (the cases of record_cases.py)."""
    try:
        record_cases(RecordBox(ctx))
    finally:
        ctx.server.build("kanade-test", "kanade-test")


def game_running_scenario(ctx):
    """What runs beside the patcher: the game, a shell, another program
    holding a file or the lock, a failed uninstall, a blocked upgrade and a
    virus scanner (the cases of game_running_cases.py)."""
    try:
        game_running_cases(RecordBox(ctx))
    finally:
        ctx.server.build("kanade-test", "kanade-test")
        ctx.server.publish_program(read_bytes(os.path.join(ctx.wine.program, "kanade.exe")))


INTERNET_SETTINGS = ("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                     "Internet Settings")


def set_proxy_settings(wine, counter, proxy="", bypass="", script=""):
    """The user's proxy settings as the system's settings dialog writes them:
    the values, and the binary record that WinHTTP reads (0x46, a counter,
    flags 1 direct | 2 proxy | 4 script, then the proxy, the bypass list and
    the script's URL, each after its length). No argument: the settings go,
    and Windows detects automatically."""
    def text(value):
        return struct.pack("<I", len(value)) + value.encode("ascii")
    flags = 1 | (2 if proxy else 0) | (4 if script else 0)
    record = (struct.pack("<III", 0x46, counter, flags) + text(proxy) + text(bypass) +
              text(script) + bytes(32))
    data = ",".join(f"{b:02x}" for b in record)
    gone = not (proxy or script)
    lines = ["REGEDIT4", "", f"[{INTERNET_SETTINGS}]",
             f'"ProxyEnable"=dword:{1 if proxy else 0:08x}',
             f'"ProxyServer"="{proxy}"' if proxy else '"ProxyServer"=-',
             f'"ProxyOverride"="{bypass}"' if bypass else '"ProxyOverride"=-',
             f'"AutoConfigURL"="{script}"' if script else '"AutoConfigURL"=-', "",
             f"[{INTERNET_SETTINGS}\\Connections]",
             '"DefaultConnectionSettings"=-' if gone else f'"DefaultConnectionSettings"=hex:{data}',
             '"SavedLegacySettings"=-' if gone else f'"SavedLegacySettings"=hex:{data}', ""]
    with open(os.path.join(wine.prefix, "drive_c", "proxy.reg"), "w") as f:
        f.write("\r\n".join(lines))
    with wine.output() as out:
        subprocess.run(["wine", "reg", "import", "C:\\proxy.reg"], env=wine.env, check=True,
                       stdout=out, stderr=out, timeout=60)


def proxy_scenario(ctx):
    """Every repository and module through the proxy Windows is set to use,
    in a CONNECT tunnel; the bypass list's host direct; the proxy named once
    per run. A proxy that wants a password, and one that is stopped: each
    repository fails with its reason."""
    box = RecordBox(ctx)
    log = KanadeLog(os.path.join(box.program, "kanade.log"))
    server_port = int(ctx.server.url.rsplit(":", 1)[1])
    proxy = Tinyproxy(ctx.root, server_port)
    signing = Tinyproxy(ctx.root, server_port, auth=("kanade", "secret"))
    via = f"http://127.0.0.1:{proxy.port}"
    # The PAC scripts, served on the loopback: everything to the proxy, a
    # list whose first proxy is dead, and one that never answers.
    pac_port = free_port()

    def answering(answer):
        return f'function FindProxyForURL(url, host) {{ return "{answer}"; }}\n'.encode()
    write_files(os.path.join(ctx.root, "pac"), {
        "proxy.pac": answering(f"PROXY 127.0.0.1:{proxy.port}"),
        "list.pac": answering(f"PROXY 127.0.0.1:{free_port()}; PROXY 127.0.0.1:{proxy.port}"),
        "direct.pac": answering(f"PROXY 127.0.0.1:{free_port()}; DIRECT"),
        "endless.pac": b"function FindProxyForURL(url, host) { while (true) {} }\n"})
    pac = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1",
                            "--directory", os.path.join(ctx.root, "pac"), str(pac_port)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           preexec_fn=die_with_parent)
    script = f"http://127.0.0.1:{pac_port}/proxy.pac"
    scripts = {name: f"http://127.0.0.1:{pac_port}/{name}.pac" for name in ("list", "direct")}
    rows = [
        ("a fixed proxy per scheme", dict(proxy=f"http=127.0.0.1:9;https=127.0.0.1:{proxy.port}",
                                          bypass="*.example.invalid;10.*"),
         True, f"! proxy {via}, from the Windows settings"),
        ("the bypass list names the host", dict(proxy=f"127.0.0.1:{proxy.port}",
                                                bypass="*.example.invalid;localhost"),
         False, "! no proxy: the bypass list of the Windows settings names the repository"),
        ("a PAC script", dict(script=script), True, f"! proxy {via}, from the PAC script {script}"),
        ("a PAC list, its first proxy dead", dict(script=scripts["list"]), True,
         f"! proxy {via}, from the PAC script {scripts['list']}; http://127.0.0.1:"),
        ("a PAC list, its first proxy dead, then DIRECT", dict(script=scripts["direct"]), False,
         f"! no proxy (DIRECT), from the PAC script {scripts['direct']}; http://127.0.0.1:"),
    ]
    try:
        wait_until(lambda: listening(pac_port), 10)
        for counter, (name, settings, through, said) in enumerate(rows, start=2):
            box.fresh()
            write_files(box.game, {GAME_EXE: b"MZ the game"})
            box.publish({"Language.txt": b"ja", "Data/ui.txt": b"ui"})
            set_proxy_settings(ctx.wine, counter, **settings)
            tunnels = len(proxy.connects())
            served = len(ctx.server.access_log().splitlines())
            closing = box.run()
            check(closing == "> " + READY, f"proxy, {name}: the run ends green ({closing})")
            requests = ctx.server.access_log().splitlines()[served:]
            senders = {line.split(" ", 1)[0] for line in requests}
            expected = "127.0.0.2" if through else "127.0.0.1"
            check(len(requests) >= 7 and senders == {expected},
                  f"proxy, {name}: {len(requests)} requests, all from {expected} ({senders})")
            new_tunnels = proxy.connects()[tunnels:]
            check(bool(new_tunnels) == through and all(
                t == f"CONNECT localhost:{server_port}" for t in new_tunnels),
                f"proxy, {name}: the proxy's log shows the CONNECT tunnels {new_tunnels}")
            named = [line for line in log.lines() if line.startswith(("! proxy ", "! no proxy"))]
            check(len(named) == 1 and named[0].startswith(said),
                  f"proxy, {name}: the log names the proxy once: {named}")
        endless_script_row(ctx, box, log, f"http://127.0.0.1:{pac_port}/endless.pac")
        proxy.stop()
        for counter, (name, port, reason) in enumerate([
                ("a password asked for", signing.port, "! the proxy asks for a sign-in (HTTP 407)"),
                ("the proxy stopped", proxy.port, f"; through the proxy {via}")], start=7):
            box.fresh()
            write_files(box.game, {GAME_EXE: b"MZ the game"})
            set_proxy_settings(ctx.wine, counter, proxy=f"127.0.0.1:{port}")
            closing = box.run()
            check(closing == "> " + NOT_APPLIED, f"proxy, {name}: the run ends red ({closing})")
            lines = log.lines()
            failed = [i for i, line in enumerate(lines)
                      if line.startswith("< レポジトリを取得中: ") and line.endswith(" 失敗")]
            check(len(failed) == 5 and all(lines[i + 1].startswith("! ") and
                                           reason in lines[i + 1] for i in failed),
                  f"proxy, {name}: each repository fails with its reason: "
                  f"{[lines[i + 1] for i in failed[:1]]}")
        # One request per repository, and one more for at most three of them
        # (the server's budget): a 407 is never tried again.
        check(len(signing.connects()) <= 8, f"proxy: {len(signing.connects())} sign-in requests")
    finally:
        set_proxy_settings(ctx.wine, 10)
        for process in (proxy, signing):
            process.stop()
        pac.terminate()
        pac.wait()
        ctx.server.build("kanade-test", "kanade-test")


def endless_script_row(ctx, box, log, script):
    """A PAC script that never ends: the run goes on without it after 5 s,
    and once it has, no process of the program spends a core on it."""
    box.fresh()
    write_files(box.game, {GAME_EXE: b"MZ the game"})
    set_proxy_settings(ctx.wine, 9, script=script)
    proc = box.start()
    try:
        ended = wait_until(lambda: log.closing(), 60, 0.3)
        check(ended == ["> " + READY], f"proxy, a script without end: the run ends green ({ended})")
        check(f"! no proxy; the PAC script {script} gave no answer within 5 s" in log.lines(),
              "proxy, a script without end: the log says it gave no answer")
        # This prefix's programs only: others may run Wine on the machine.
        prefix = ("WINEPREFIX=" + ctx.wine.prefix).encode()
        programs = [pid for pid in os.listdir("/proc") if pid.isdigit() and
                    b"kanade.exe" in (read_bytes(f"/proc/{pid}/cmdline") or b"") and
                    prefix in (read_bytes(f"/proc/{pid}/environ") or b"").split(b"\0")]

        def cpu_seconds():
            ticks = 0
            for pid in programs:
                fields = (read_bytes(f"/proc/{pid}/stat") or b"").rsplit(b")", 1)[-1].split()
                ticks += int(fields[11]) + int(fields[12]) if len(fields) > 12 else 0
            return ticks / os.sysconf("SC_CLK_TCK")
        before = cpu_seconds()
        time.sleep(3)
        spent = cpu_seconds() - before
        check(spent < 0.5, f"proxy, a script without end: {spent:.2f} s of CPU in 3 s after the run")
        scripts = [pid for pid in programs
                   if b"--kanade-proxy-script" in (read_bytes(f"/proc/{pid}/cmdline") or b"")]
        check(scripts == [], f"proxy, a script without end: its process is gone ({scripts})")
    finally:
        check(box.close(proc) is not None, "proxy, a script without end: the window closes")
        box.stop(proc)


def transcribed(scenario):
    """`scenario`, keeping what its runs add to the program folder's log."""
    def run(ctx):
        logged = len(read_bytes(ctx.wine.log.path) or b"")
        try:
            scenario(ctx)
        finally:
            added = (read_bytes(ctx.wine.log.path) or b"")[logged:]
            if added:
                transcribe(ctx, scenario.__name__.removesuffix("_scenario"), added)
    run.__name__ = scenario.__name__
    return run


def final_checks(ctx):
    ctx.wine.log.check_bytes()
    check_http2(ctx.server)


def stop_wine(prefix):
    """Ends wineserver and every Wine process of the prefix, even of one
    that did not come up whole."""
    if os.path.isdir(prefix):
        env = dict(os.environ, WINEPREFIX=prefix)
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=env, capture_output=True, timeout=30)


def setup(ctx):
    ctx.kanade, repo_tool = ctx.args[:2]
    ctx.probe = ctx.args[2] if len(ctx.args) > 2 else os.path.join(
        os.path.dirname(ctx.kanade), "kanade-win32-probe.exe")
    for path in (ctx.kanade, repo_tool, ctx.probe):
        if not os.path.isfile(path):
            raise RuntimeError(f"{path} is missing")
    ctx.title = console_title(repo_tool)
    check_version_resources(ctx.kanade, ctx.title)
    # The display must exist before the first Wine process: the Wine
    # session keeps the display it started with. Room for the settings
    # window at 200 %.
    start_display(ctx, size=(1600, 1200))
    ctx.server = Server(ctx.root, ctx.kanade, repo_tool)
    ctx.cleanup.callback(ctx.server.stop)
    print(f"--- server ready ({time.time() - ctx.started:.1f} s)", flush=True)
    ctx.cleanup.callback(stop_wine, os.path.join(ctx.root, "prefix"))
    ctx.wine = Wine(ctx.root, ctx.display, ctx.server, ctx.kanade, ctx.title)
    print(f"--- prefix ready ({time.time() - ctx.started:.1f} s)", flush=True)


if __name__ == "__main__":
    sys.exit(main("kanade.exe under Wine", __doc__, [transcribed(s) for s in (
        first_run_scenario, current_scenario, uninstall_scenario, browse_scenario,
        self_upgrade_scenario, keyboard_scenario, scales_scenario)] + [
        local_attacker_scenario, record_scenario, game_running_scenario, proxy_scenario,
        final_checks], setup, arguments=(2, 3)))
