"""What every end-to-end test script shares: recording failed checks,
waiting for a condition, the script's main, files and kanade.log, the
sandbox a Linux run gets, and the patcher's expected log lines."""
import contextlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import types

from x11 import Xvfb, die_with_parent

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
REPO_SERVER = os.path.join(SOURCE_DIR, "scripts", "repo-server.sh")

STARTED = "===== Program Started ====="
FINISHED = "> 日本語化パッチ"  # how every closing line begins
READY = "日本語化パッチの準備ができました。ゲームを開始してください！"
UNINSTALLED = "日本語化パッチがアンインストールされました。"
NOT_APPLIED = "日本語化パッチを適用できませんでした。kanade.log を確認してください。"
NOT_REMOVED = "日本語化パッチをアンインストールできませんでした。kanade.log を確認してください。"
MAIN_TITLE = "Kanade Patcher"
SETTINGS_TITLE = "Kanade Patcher 設定"
GAME_EXE = "Shroud of the Avatar.exe"
TEMPORARY = ".kanade-tmp-"
# The repositories a Linux build fetches, in its order.
REPOSITORIES = ("kanade-patcher-linux", "kanade-conv-test", "kanade-test", "kanade-prefixed",
                "kanade-lua")

failures = []
# Print passed checks too (for tests whose order of events is the point).
show_passes = False


def check(condition, message):
    if show_passes or not condition:
        print(("ok:   " if condition else "FAIL: ") + message, flush=True)
    if not condition:
        failures.append(message)
    return condition


def check_lines(actual, expected, what):
    """Two lists of lines alike, or the first difference shown."""
    if check(actual == expected, what):
        return
    for n in range(max(len(actual), len(expected))):
        a = actual[n] if n < len(actual) else None
        e = expected[n] if n < len(expected) else None
        if a != e:
            print(f"  first difference at line {n}: {a!r} != {e!r}")
            break


def wait_until(predicate, timeout, step=0.1):
    """The predicate's first true result, or its last result at the time-out."""
    deadline = time.time() + timeout
    while True:
        result = predicate()
        if result or time.time() >= deadline:
            return result
        time.sleep(step)


Context = types.SimpleNamespace


def main(title, usage, cases, setup=None, arguments=(2,)):
    """A script's main: `setup(ctx)` and then each case in turn, one that
    raises failing alone. ctx holds the script's arguments as absolute paths
    (args), a fresh folder (root) and an ExitStack (cleanup) for what setup
    started; with KANADE_E2E_KEEP=DIR the folder is made there and kept,
    after a failure it is kept anyway."""
    if len(sys.argv) - 1 not in arguments:
        print(usage)
        return 2

    def terminated(*_):  # a time-out's SIGTERM still cleans up
        failures.append("terminated")
        sys.exit(143)
    signal.signal(signal.SIGTERM, terminated)
    started = time.time()
    keep = os.environ.get("KANADE_E2E_KEEP")
    if keep:
        os.makedirs(keep, exist_ok=True)
    name = re.sub(r"\W+", "-", title.lower()).strip("-")
    name = name if name.startswith("kanade") else "kanade-" + name
    ctx = Context(args=[os.path.abspath(a) for a in sys.argv[1:]], started=started,
                  root=os.path.realpath(tempfile.mkdtemp(prefix=name + "-", dir=keep)))
    with contextlib.ExitStack() as ctx.cleanup:
        try:
            if setup:
                setup(ctx)
            for case in cases:
                print(f"--- {case.__name__} ({time.time() - started:.1f} s)", flush=True)
                try:
                    case(ctx)
                except Exception:  # one broken case must not hide the others
                    traceback.print_exc()
                    check(False, f"{case.__name__} raised")
        except Exception:
            traceback.print_exc()
            check(False, "the test environment could not be set up")
    if failures or keep:
        print("sandboxes kept in " + ctx.root)
    else:
        shutil.rmtree(ctx.root, ignore_errors=True)
    print(f"{title}: {'failed' if failures else 'passed'} "
          f"({len(failures)} failures, {time.time() - started:.1f} s)")
    return 1 if failures else 0


def start_display(ctx, **options):
    """A private Xvfb for the rest of the script (Xvfb's options)."""
    xvfb = Xvfb(**options)
    ctx.cleanup.callback(xvfb.stop)
    ctx.display = xvfb.display


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def write_files(folder, files):
    """{path with "/": bytes} below `folder`."""
    for relative, body in files.items():
        write_file(os.path.join(folder, *relative.split("/")), body)


def files_below(folder):
    """The files below `folder`, as paths with "/"."""
    found = set()
    for base, _, names in os.walk(folder):
        for name in names:
            found.add(os.path.relpath(os.path.join(base, name), folder).replace(os.sep, "/"))
    return found


def snapshot(*folders):
    """Every file and folder below `folders` with its bytes and times."""
    found = {}
    for folder in folders:
        for base, dirs, names in os.walk(folder):
            found[base] = (sorted(dirs + names), os.stat(base).st_mtime_ns)
            for name in names:
                path = os.path.join(base, name)
                found[path] = (read_bytes(path), os.stat(path).st_mtime_ns)
    return found


def changes(before, after):
    """The paths whose bytes, times or listing differ between two snapshots."""
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))


def own_copy(path, build):
    """Whether `path` holds `build` in a file of its own: no link, no
    second name."""
    return (read_bytes(path) == build and not os.path.islink(path) and
            os.stat(path).st_nlink == 1)


def ini_bytes(enable, mode, override="", token=""):
    """kanade.ini as the settings window saves it."""
    lines = ["; Localization related settings", f"EnableLocalization={enable}",
             f"LocalizationMode={mode}", f"GameLocationOverride={override}", "",
             "; Lua Related settings", "EnableLuaIntegration=0", f"LiveTranslationToken={token}"]
    return "".join(line + "\r\n" for line in lines).encode()


def cut_runs(lines):
    """Log lines cut at every start marker (with or without "UPG:")."""
    result = []
    for line in lines:
        if line in (STARTED, "UPG:" + STARTED):
            result.append([])
        if result:
            result[-1].append(line)
    return result


class KanadeLog:
    """kanade.log, read while programs write it: whole lines only."""

    def __init__(self, path):
        self.path = path

    def lines(self):
        data = read_bytes(self.path) or b""
        data = data[:data.rfind(b"\r\n") + 2]
        return data.decode("utf-8", errors="replace").split("\r\n")[:-1]

    def runs(self):
        return cut_runs(self.lines())

    def closing(self):
        """The closing lines so far."""
        return [line for line in self.lines() if line.startswith(FINISHED)]

    def check_bytes(self, upgrade_copy=False):
        """UTF-8 without a byte-order mark, every line ending in CR LF; the
        first line is the start marker (with "UPG:" if an `upgrade_copy`
        may have begun it: -waitfor)."""
        data = read_bytes(self.path)
        if data is None:
            return
        markers = (STARTED, "UPG:" + STARTED) if upgrade_copy else (STARTED,)
        check(data.startswith(tuple((m + "\r\n").encode() for m in markers)),
              f"{self.path} begins with the marker")
        check(data.endswith(b"\r\n") and data.count(b"\n") == data.count(b"\r\n"),
              f"every line of {self.path} ends in CR LF")
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            check(False, f"{self.path} is UTF-8")


def segments(run, title):
    """A run cut at every console reset: the lines after each title line,
    without the empty line that the next reset writes."""
    titles = [i for i, line in enumerate(run) if line.endswith("> " + title)]
    return [run[i + 1:titles[n + 1] - 1 if n + 1 < len(titles) else len(run)]
            for n, i in enumerate(titles)]


def kanade_env(display, url, ca, home):
    """The environment of a patcher run: no proxy, this display, home and
    server, and the server's CA."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(DISPLAY=display, HOME=home, KANADE_REPOSITORY_URL=url, CURL_CA_BUNDLE=ca)
    return env


def start_kanade(folder, env, *args, output, user=None):
    """./kanade started in its folder, its output appended to `output`; as
    the user id `user` (a player who is not root) when given."""
    as_user = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"] \
        if user is not None else []
    with open(output, "ab") as out:
        return subprocess.Popen([*as_user, "./kanade", *args], cwd=folder, env=env, stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                preexec_fn=die_with_parent)


class Sandbox:
    """A program folder holding a copy of the patcher, a home, and the game:
    in a folder beside them named in kanade.ini (`steam` False), or in a
    Steam library in the home with its Proton data folder, found as a
    player's is (`steam` True, no kanade.ini), or nowhere (`steam` None).
    Runs use ctx's display and server (its url and ca)."""

    def __init__(self, ctx, name, steam=False):
        self.ctx = ctx
        self.path = os.path.join(ctx.root, name)
        self.program = os.path.join(self.path, "program")
        self.home = os.path.join(self.path, "home")
        self.outside = os.path.join(self.path, "outside")
        for folder in (self.program, self.home, self.outside):
            os.makedirs(folder)
        shutil.copy2(ctx.kanade, os.path.join(self.program, "kanade"))
        self.ini = os.path.join(self.program, "kanade.ini")
        self.log = KanadeLog(os.path.join(self.program, "kanade.log"))
        self.ca = None  # the server's own when None
        self.user = None  # the user id runs take, when not root
        self.extra_env = {}  # such as a proxy of the environment
        self.game = self.data = self.fifo = None
        if steam is False:
            self.game = os.path.join(self.path, "game")
            os.makedirs(os.path.join(self.program, "repos"))
            write_files(self.game, {GAME_EXE: b""})
            self.write_ini(ini_bytes(1, "kanade-test", self.game))
        elif steam:
            library = os.path.join(self.home, ".local", "share", "Steam")
            apps = os.path.join(library, "steamapps")
            self.game = os.path.join(apps, "common", "Shroud of the Avatar")
            self.data = os.path.join(apps, "compatdata", "326160", "pfx", "drive_c", "users",
                                     "steamuser", "AppData", "Roaming", "Portalarium",
                                     "Shroud of the Avatar")
            self.fifo = os.path.join(self.data, "Lua", "kanade-fifo")
            for folder in (self.fifo, os.path.join(self.home, ".steam")):
                os.makedirs(folder)
            os.symlink(library, os.path.join(self.home, ".steam", "steam"))
            write_files(self.game, {GAME_EXE: b""})
            write_files(self.data, {"CurrentPlayerData.xml": b"<PlayerData/>\n"})
            write_files(apps, {
                "libraryfolders.vdf": b'"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"%s"\n'
                                      b'\t}\n}\n' % library.encode(),
                "appmanifest_326160.acf": b'"AppState"\n{\n\t"appid"\t\t"326160"\n\t"name"\t\t'
                                          b'"Shroud of the Avatar"\n\t"installdir"\t\t'
                                          b'"Shroud of the Avatar"\n}\n'})

    def write_ini(self, data):
        write_file(self.ini, data)

    def write(self, relative, data, base=None):
        """A file below the game folder, or below `base`."""
        write_file(os.path.join(base or self.game, relative), data)

    def read(self, path):
        return read_bytes(path)

    def env(self, url=None):
        """A run's environment, with another server's `url`."""
        server = self.ctx.server
        env = kanade_env(self.ctx.display, url or server.url, self.ca or server.ca, self.home)
        env.update(self.extra_env)
        return env

    def start(self, *args, url=None):
        """The patcher started in its folder."""
        return start_kanade(self.program, self.env(url), *args,
                            output=os.path.join(self.path, "kanade.out"), user=self.user)

    def run_to_end(self, *args, timeout=60, url=None):
        """One run until it adds a closing line; whether it did."""
        before = len(self.log.closing())
        proc = self.start(*args, url=url)
        finished = wait_until(lambda: len(self.log.closing()) > before, timeout)
        proc.kill()
        proc.wait()
        return finished

    def closing_line(self):
        lines = self.log.closing()
        return lines[-1] if lines else None

    def leftovers(self):
        """Temporary files anywhere in the sandbox."""
        return [os.path.join(base, n) for base, _, names in os.walk(self.path)
                for n in names if TEMPORARY in n]


class Relay(threading.Thread):
    """TCP to a local port passed through untouched (TLS too). While `rate`
    is set, what the server sends goes at that many bytes a second per
    connection; with `cut_after`, the first connection is cut once it has
    carried that many bytes towards the client. While `hello_delay` is set,
    the server's first bytes on each connection wait that many seconds, as
    a distant server's handshake takes. `connections` counts what it
    accepted."""

    def __init__(self, port, cut_after=None):
        super().__init__(daemon=True)
        self.upstream = port
        self.rate = None
        self.hello_delay = 0
        self.cut_after = cut_after
        self.cut = False
        self.connections = 0
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.start()

    def run(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            server = socket.create_connection(("127.0.0.1", self.upstream))
            cutting = self.cut_after is not None and not self.cut
            self.cut = self.cut or cutting
            threading.Thread(target=self.pump, args=(client, server, False, False),
                             daemon=True).start()
            threading.Thread(target=self.pump, args=(server, client, True, cutting),
                             daemon=True).start()

    def pump(self, source, target, to_client, cutting):
        carried = 0
        try:
            while True:
                data = source.recv(16384)
                if not data:
                    break
                if to_client and self.rate:
                    time.sleep(len(data) / self.rate)
                if to_client and carried == 0:
                    time.sleep(self.hello_delay)
                target.sendall(data)
                carried += len(data)
                if cutting and carried >= self.cut_after:
                    break
        except OSError:
            pass
        for sock in (source, target):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    def stop(self):
        self.listener.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class Tinyproxy:
    """tinyproxy on 127.0.0.1, its own connections from 127.0.0.2, so that
    nginx's access log tells proxied requests from direct ones; with `auth`
    (a name and a password) it wants them."""

    def __init__(self, root, server_port, auth=None):
        self.port = free_port()
        self.folder = os.path.join(root, f"tinyproxy-{self.port}")
        os.makedirs(self.folder)
        self.log = os.path.join(self.folder, "tinyproxy.log")
        write_files(self.folder, {"tinyproxy.conf": (
            f"Port {self.port}\nListen 127.0.0.1\nBind 127.0.0.2\nTimeout 60\n"
            f'LogFile "{self.log}"\nLogLevel Connect\nMaxClients 50\nAllow 127.0.0.1\n'
            f"ConnectPort {server_port}\n" + (f"BasicAuth {auth[0]} {auth[1]}\n" if auth else "")
        ).encode()})
        self.proc = subprocess.Popen(
            ["tinyproxy", "-d", "-c", os.path.join(self.folder, "tinyproxy.conf")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        if not wait_until(lambda: listening(self.port), 10):
            raise RuntimeError("tinyproxy does not start, see " + self.folder)

    def connects(self):
        """The CONNECT requests of its log."""
        text = (read_bytes(self.log) or b"").decode("utf-8", "replace")
        return re.findall(r"Request \(file descriptor \d+\): (CONNECT \S+)", text)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()


def console_title(repo_tool):
    """The console title of the build under test, from the project's VERSION,
    which kanade-repo --version prints too."""
    said = subprocess.run([repo_tool, "--version"], capture_output=True, text=True, timeout=30)
    return "Kanade 非公式日本語化Patcher Build " + said.stdout.split()[-1]


def secret_key():
    """The secret key of the publisher whom the build trusts."""
    secret = os.environ.get("KANADE_SECRET_KEY", "")
    if not os.path.isfile(secret):
        raise RuntimeError("KANADE_SECRET_KEY must name the secret key of the build's trusted "
                           "publisher key (scripts/test-keys.sh makes one)")
    return secret


def publish_args(name):
    """kanade-repo options that sign as the publisher the build trusts, for
    the repository `name` (its server file name without ".repo")."""
    return ["--key", secret_key(), "--name", name]


def fetch_lines(url):
    return ["> レポジトリを取得中: " + url, "< レポジトリを取得中: " + url + " 成功"]


def install_lines(path, size):
    return ["> - 更新: " + path, f"< - 更新: {path} {size}", f"< - 更新: {path} 成功"]


def remove_lines(path):
    return ["> - 削除: " + path, f"< - 削除: {path} 成功"]


# A download's progress rewrites: how many a run writes depends on timing;
# so does the progress line of a repository's downloads ("~ ").
PROGRESS = re.compile(r"(?:UPG:)?< - 更新中: (.*) (\d+)")
DOWNLOADS = re.compile(r"(?:UPG:)?~ ダウンロード中: .*")
# So do the -waitfor countdown's, which end when the awaited program does,
# and the milliseconds curl took to fail.
COUNTDOWN = re.compile(r"(?:UPG:)?< -waitfor: アップグレード待機中: \d+\.\d 秒")
CURL_TIME = re.compile(r"((?:UPG:)?! curl error \d+: .*) after \d+ ms")
# The program's own build differs from build to build in its size.
BUILD_SIZE = re.compile(r"((?:UPG:)?< - 更新: .*[/\\]upgrade_kanade(?:\.exe)?) \d+")
_transcribed = set()


def normalised_log(data, replace):
    """kanade.log's bytes with what may differ between two runs of the same
    case made fixed: the `replace` strings (temporary folders, server URLs
    with their ports), the progress and countdown rewrites, curl's
    milliseconds and the size of the program's own build, which another
    build of the same code has too; the downloads' progress lines go. Line
    ends stay as written."""
    text = data.decode("utf-8", "surrogateescape")
    for old in sorted(replace, key=len, reverse=True):
        text = text.replace(old, replace[old])
    lines = [BUILD_SIZE.sub(r"\1 <size>", CURL_TIME.sub(r"\1 after <n> ms", line))
             for line in text.split("\r\n")
             if not PROGRESS.fullmatch(line) and not COUNTDOWN.fullmatch(line)
             and not DOWNLOADS.fullmatch(line)]
    return "\r\n".join(lines).encode("utf-8", "surrogateescape")


def save_transcript(platform, case, data, replace):
    """With KANADE_E2E_TRANSCRIPTS naming a folder, keeps a case's kanade.log
    there, normalised, as PLATFORM-CASE.log, for compare_transcripts.py to
    set against the same case run by another build."""
    folder = os.environ.get("KANADE_E2E_TRANSCRIPTS")
    if not folder:
        return
    name = re.sub(r"[^0-9a-z]+", "-", f"{platform} {case}".lower()).strip("-") + ".log"
    check(name not in _transcribed, f"one transcript is named {name}")
    _transcribed.add(name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(normalised_log(data or b"", replace))


def without_progress(lines, paths):
    """The lines without the download progress rewrites, whose number
    depends on timing; each must name a module being installed."""
    kept = []
    for line in lines:
        if DOWNLOADS.fullmatch(line):
            continue
        match = PROGRESS.fullmatch(line)
        if match:
            check(match.group(1) in paths, "a progress line names a module: " + line)
            continue
        kept.append(line)
    return kept


# The console on the main window's canvas: nine rows of 16 pixels from
# (13, 138). Its text is white, green or red over a dark band.
def console_ink(picture, n):
    """The text pixels of console row n, relative to the row."""
    y0 = 138 + 16 * n
    ink = set()
    for y in range(y0, y0 + 16):
        for x in range(13, 600):
            r, g, b = picture.getpixel((x, y))
            if min(r, g, b) > 225 or (g > 200 and r < 70 and b < 70) or (r > 200 and g < 70 and b < 70):
                ink.add((x, y - y0))
    return frozenset(ink)


def alike(a, b):
    """How much two sets of text pixels agree (1.0: the same line, or two
    empty ones)."""
    return len(a & b) / len(a | b) if a | b else 1.0


def check_keys_and_hover(ui, ticked, what):
    """A program started with "-waitfor 3", used as a player would. `ui`
    gives main (the main window), xdo(...), shoot() (a picture of the main
    window), log() (this run's log lines), settings_open() and ini() (the
    bytes of kanade.ini); `ticked` is kanade.ini once the settings window's
    check box has been toggled. Keys go where the pointer is: Xvfb has no
    window manager, and no key here follows a click."""
    def logged(text):
        return sum(line.endswith(text) for line in ui.log())

    # The settings box stays lit under the pointer through the countdown,
    # whose every event blocks for the whole hover time.
    ui.xdo("mousemove", "--window", ui.main, "576", "21")
    time.sleep(0.3)
    samples, title = [], None
    deadline = time.time() + 30
    while time.time() < deadline:
        picture = ui.shoot()
        if logged("-waitfor: アップグレード待機中: 0.0 秒"):
            break
        title = console_ink(picture, 0)  # the title line, above the countdown
        frame = [(x, 5) for x in range(560, 592)] + [(560, y) for y in range(5, 37)]
        samples.append(all(max(abs(a - b) for a, b in zip(picture.getpixel(p), (255, 255, 0))) <= 2
                           for p in frame))
    check(len(samples) >= 5 and sum(samples) >= 0.8 * len(samples),
          f"{what}: the settings box stays yellow under the pointer during the countdown "
          f"({sum(samples)} of {len(samples)} pictures)")
    if not check(wait_until(lambda: logged("> " + READY), 60), f"{what}: the run gets ready"):
        return

    # The settings window: from the text at the top, Tab to the check box,
    # Tab to the first mode (which must not be chosen by that), Shift+Tab
    # back; Space toggles the box, Escape does nothing, Enter presses OK.
    ui.xdo("mousemove", "--window", ui.main, "576", "21", "click", "1")
    if not check(wait_until(ui.settings_open, 15), f"{what}: the settings window opens"):
        return
    time.sleep(0.5)
    before = ui.ini()
    for key in ("Tab", "Tab", "shift+Tab", "space", "Escape"):
        ui.xdo("key", key)
        time.sleep(0.3)
    check(ui.settings_open() and ui.ini() == before,
          f"{what}: Escape leaves the settings window open, nothing saved")
    ui.xdo("key", "Return")
    check(wait_until(lambda: not ui.settings_open(), 10), f"{what}: Enter presses OK")
    check(wait_until(lambda: ui.ini() == ticked, 10),
          f"{what}: Tab, Shift+Tab and Space toggled the box: {ui.ini()!r}")
    if not check(wait_until(lambda: logged("> " + READY) == 2, 60),
                 f"{what}: the restarted run gets ready"):
        return

    # The console, without a click: Up moves it by one line, and enough Ups
    # bring the title line to the top row.
    def rows(picture):
        return [console_ink(picture, r) for r in range(9)]

    ui.xdo("mousemove", "--window", ui.main, "300", "250")
    pictures = [ui.shoot()]  # at rest: the last lines may still be painting
    while len(pictures) < 20 and (len(pictures) < 2 or rows(pictures[-1]) != rows(pictures[-2])):
        time.sleep(0.2)
        pictures.append(ui.shoot())
    # A line moved down by a row lies on other backdrop pixels, so some of
    # its anti-aliased edge gives or takes ink: each row must look most like
    # the row above it in the picture at rest, and still much like it.
    def moved_down_one(now, rest):
        return all(alike(now[r], rest[r - 1]) > 0.7 and
                   (rest[r - 1] == rest[r] or alike(now[r], rest[r - 1]) > alike(now[r], rest[r]))
                   for r in range(1, 9))

    rest = rows(pictures[-1])
    ui.xdo("key", "Up")
    check(wait_until(lambda: moved_down_one(rows(ui.shoot()), rest), 5, 0.2),
          f"{what}: Up moves the console by one line without a click")
    for _ in range(25):
        ui.xdo("key", "Up")
    check(wait_until(lambda: alike(console_ink(ui.shoot(), 0), title or frozenset()) > 0.9, 5, 0.2),
          f"{what}: scrolled all the way up, the title line shows at the top")


# Display scale: the layout is written in 96-DPI pixels and shown at DPI / 96.
SCALES = (96, 120, 144, 192)
def scaled(value, dpi):
    """A layout length in device pixels, as the backends round it."""
    return (value * dpi + 48) // 96


def scaled_rect(rect, dpi):
    x, y, w, h = rect
    return (scaled(x, dpi), scaled(y, dpi), scaled(x + w, dpi) - scaled(x, dpi),
            scaled(y + h, dpi) - scaled(y, dpi))


def screenshot_folder():
    """Where scripts/run.sh leaves its screenshots; the scale tests put
    theirs beside them, in scales/."""
    demo = os.environ.get("KANADE_DEMO_DIR") or os.path.join(SOURCE_DIR, "demo")
    folder = os.path.join(demo, "screenshots", "scales")
    os.makedirs(folder, exist_ok=True)
    return folder


def parse_layout(line):
    """A probe's "layout WINDOW KIND | x y w h | box | area | text w h | TEXT"
    line as (window, item), or None."""
    match = re.fullmatch(r"layout (\w+) (\w+) \| ([-\d ]+) \| ([-\d ]+) \| ([-\d ]+) \| "
                         r"([-\d ]+) \| (.*)", line)
    if not match:
        return None
    numbers = [tuple(int(n) for n in match.group(i).split()) for i in range(3, 7)]
    return match.group(1), {"kind": match.group(2), "layout": numbers[0], "box": numbers[1],
                            "area": numbers[2], "text": numbers[3], "caption": match.group(7)}


def overlap(a, b, slack=0):
    """Whether two rectangles share pixels; `slack` pixels of height are
    forgiven (a font's line box rounds its ascent and descent up apart)."""
    ax, ay, aw, ah = a
    bx, by, bw, bh = b
    return (ax < bx + bw and bx < ax + aw and
            ay < by + max(bh - slack, 0) and by < ay + max(ah - slack, 0))


def check_layout(items, dpi, what, canvas_width=600):
    """What a backend shows of one window at `dpi`, measured with its own
    font metrics: every control sits at its layout rectangle times DPI / 96
    (a one-line label may only grow wider), its text fits its box; on the
    canvas, a text drawn on a filled box stays inside it, no two texts
    overlap and all stay on the canvas. Line heights get one pixel of slack."""
    texts = []
    for n, item in enumerate(items):
        tw, th = item["text"]
        caption = item["caption"]
        if item["kind"] == "fill":
            continue
        if item["kind"] == "text":
            if not caption:
                continue
            texts.append(item["box"])
            x, y = item["box"][:2]
            fills = [i["box"] for i in items[:n] if i["kind"] == "fill" and
                     i["box"][0] <= x < i["box"][0] + i["box"][2] and
                     i["box"][1] <= y < i["box"][1] + i["box"][3]]
            if fills:
                fx, fy, fw, fh = fills[-1]
                check(x + tw <= fx + fw and y + th <= fy + fh + 1,
                      f"{what}: {caption!r} ({tw} x {th} at {x}, {y}) stays in its box {fills[-1]}")
            continue
        bx, by, bw, bh = item["box"]
        ex, ey, ew, eh = scaled_rect(item["layout"], dpi)
        if item["kind"] == "label":
            placed = by == ey and bh == eh and bx <= ex and bx + bw >= ex + ew
        else:
            placed = (bx, by, bw, bh) == (ex, ey, ew, eh)
        check(placed, f"{what}: {item['kind']} {caption!r} at {item['layout']} x {dpi}/96 is "
                      f"{(ex, ey, ew, eh)}, shown at {item['box']}")
        fits = th <= bh + 1 if item["kind"] == "field" else tw <= item["area"][2] and th <= bh + 1
        check(fits, f"{what}: {item['kind']} {caption!r} ({tw} x {th}) fits its box "
                    f"{item['box']} (text area {item['area'][2]} wide)")
    # No other control covers the text of a label (left-aligned, at the top
    # of its box); boxes of rows that touch may share a few pixels of height.
    controls = [i for i in items if i["kind"] not in ("fill", "text", "label")]
    for label in (i for i in items if i["kind"] == "label" and i["caption"]):
        tw, th = label["text"]
        ink = (label["area"][0], label["box"][1], tw, min(th, label["box"][3]))
        covering = [i["caption"] or i["kind"] for i in controls
                    if overlap(ink, i["box"], scaled(3, dpi))]
        check(not covering, f"{what}: the text of label {label['caption']!r} at {ink} is covered "
                            f"by {covering}")
    for i, a in enumerate(texts):
        check(a[0] >= 0 and a[1] >= 0 and a[0] + a[2] <= scaled(canvas_width, dpi),
              f"{what}: the text at {a} stays on the canvas")
        check(not any(overlap(a, b, 1) for b in texts[i + 1:]),
              f"{what}: the text at {a} overlaps no other")
    return bool(items)


def check_smooth_backdrop(picture, dpi, what):
    """A backdrop fills the canvas at `dpi`, scaled smoothly: the picture is
    nearer to a bilinear enlargement of the backdrop it shows than to a
    blocky one (pixels repeated), in a band of the title with sharp edges."""
    from PIL import Image
    if dpi == 96 or picture is None:
        return
    size = (scaled(600, dpi), scaled(300, dpi))
    box = tuple(scaled(v, dpi) for v in (150, 10, 450, 70))
    points = [(x, y) for x in range(box[0], box[2], 2) for y in range(box[1], box[3], 2)]

    def distance(reference):
        return sum(abs(a - b) for p in points
                   for a, b in zip(picture.getpixel(p), reference.getpixel(p))) / len(points)
    found = []
    for n in range(1, 9):
        backdrop = Image.open(os.path.join(SOURCE_DIR, "assets", f"backdrop_{n}.jpg"))
        backdrop = backdrop.convert("RGB")
        found.append((distance(backdrop.resize(size, Image.BILINEAR)),
                      distance(backdrop.resize(size, Image.NEAREST))))
    near_smooth, near_blocky = min(found)
    check(near_smooth < 0.8 * near_blocky,
          f"{what}: the backdrop is scaled smoothly (distance {near_smooth:.1f} to a bilinear "
          f"enlargement, {near_blocky:.1f} to a blocky one)")
