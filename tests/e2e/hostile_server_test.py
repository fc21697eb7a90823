#!/usr/bin/python3
"""The real patcher against a repository server that attacks it.

A small HTTPS server of our own (TLS with a CA made here) answers the
patcher's requests the way an attacker on the server or the network would:
redirects to plain http, repositories signed with a foreign key, stripped of
their signature, served under another name or as an older release, endless
and dripping bodies, module paths through links and Windows device names,
and a module download killed half-way. A second, local attacker (run as
root only) is another user who may write the program folder and plants
links, hard links and pipes in it. Runs that ask whether their repositories
changed get bad answers too. Each run is the built `kanade` in a
private Xvfb; the test checks the log, the game folder, the local
repository copies, the files outside and what reached the attacker's
plain-http server.

Usage: hostile_server_test.py KANADE KANADE_REPO
(KANADE_SECRET_KEY names the secret of the publisher key the build trusts.)
"""
import copy
import hashlib
import http.server
import os
import shutil
import signal
import ssl
import subprocess
import sys
import threading
import time

from e2e_common import (FINISHED, GAME_EXE, SETTINGS_TITLE, Sandbox, changes, check, ini_bytes,
                        main, own_copy, publish_args, snapshot, start_display, wait_until)
from x11 import Xvfb, window_ids

def make_certificates(folder):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)
    ca, key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=Hostile Test CA", "-keyout", key, "-out", ca)
    ext = os.path.join(folder, "ext.cnf")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    server_key, csr, cert = (os.path.join(folder, n) for n in ("server.key", "server.csr",
                                                               "server.pem"))
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
            server_key, "-out", csr)
    openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", key, "-CAcreateserial", "-days", "2",
            "-extfile", ext, "-out", cert)
    return ca, cert, server_key


class Routes:
    """What the servers answer, by path; changed between runs."""

    def __init__(self):
        self.lock = threading.Lock()
        self.table = {}
        self.requests = []
        self.asked = []  # (path, If-None-Match or None)

    def set(self, path, kind, *args):
        with self.lock:
            self.table[path] = (kind, *args)

    def take(self, path, headers=None):
        with self.lock:
            self.requests.append(path)
            self.asked.append((path, headers.get("If-None-Match") if headers else None))
            return self.table.get(path, ("status", 404))


def handler_for(routes):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_GET(self):
            kind, *args = routes.take(self.path, self.headers)
            try:
                getattr(self, "answer_" + kind)(*args)
            except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
                pass

        def head(self, length=None, status=200, extra=()):
            self.send_response(status)
            for name, value in extra:
                self.send_header(name, value)
            if length is None:
                self.send_header("Connection", "close")
                self.close_connection = True
            else:
                self.send_header("Content-Length", str(length))
            self.end_headers()

        def answer_status(self, status):
            self.head(0, status)

        def answer_body(self, body):
            self.head(len(body))
            self.wfile.write(body)

        def answer_tagged(self, body, tag, headers=()):
            """`body` as version `tag`: a 304 to a request that holds it."""
            if self.headers.get("If-None-Match") == tag:
                self.head(0, 304)
                return
            self.head(len(body), 200, [("ETag", tag),
                                       ("Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT"),
                                       *headers])
            self.wfile.write(body)

        def answer_raw(self, data):
            # One write: the client reads head and body together.
            self.close_connection = True
            self.wfile.write(data)

        def answer_gzip(self, data):
            self.head(len(data), extra=[("Content-Encoding", "gzip")])
            self.wfile.write(data)

        def answer_busy(self, status, retry_after=None):
            self.head(0, status, [("Retry-After", retry_after)] if retry_after else [])

        def answer_busy_once(self, status, retry_after, body):
            # As a CDN may say of one object, once: the next answer is the body.
            routes.set(self.path, "body", body)
            self.answer_busy(status, retry_after)

        def answer_hang(self, seconds=60):
            # The request is taken and nothing of an answer ever comes.
            time.sleep(seconds)

        def answer_headers_then_hang(self, seconds=60):
            self.head(1000)
            self.wfile.flush()
            time.sleep(seconds)

        def answer_redirect(self, location):
            self.head(0, 302, [("Location", location)])

        def answer_endless(self):
            self.head()
            block = b"e" * 65536
            while True:
                self.wfile.write(block)

        def answer_drip(self, interval):
            # Each byte resets a no-data clock; the whole never ends.
            self.head()
            while True:
                self.wfile.write(b"d")
                self.wfile.flush()
                time.sleep(interval)

        def answer_slow(self, body, chunk, pause):
            self.head(len(body))
            for i in range(0, len(body), chunk):
                self.wfile.write(body[i:i + chunk])
                self.wfile.flush()
                time.sleep(pause)

    return Handler


class Servers:
    def __init__(self, root):
        self.routes = Routes()
        self.plain_routes = Routes()
        ca, cert, key = make_certificates(root)
        self.ca = ca
        self.tls = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler_for(self.routes))
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.tls.socket = context.wrap_socket(self.tls.socket, server_side=True)
        self.plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                                     handler_for(self.plain_routes))
        for server in (self.tls, self.plain):
            server.daemon_threads = True
            threading.Thread(target=server.serve_forever, daemon=True).start()
        self.url = f"https://127.0.0.1:{self.tls.server_address[1]}"
        self.plain_url = f"http://127.0.0.1:{self.plain.server_address[1]}"

    def stop(self):
        for server in (self.tls, self.plain):
            server.shutdown()


class Tools:
    def __init__(self, root, repo_tool):
        self.root = root
        self.repo_tool = repo_tool
        self.foreign = os.path.join(root, "foreign-key")
        subprocess.run([repo_tool, "keygen", self.foreign], check=True, capture_output=True)

    def repository(self, name, modules, serial, key_args=None, sized=True):
        """A repository text with the given (path, url, body) modules."""
        path = os.path.join(self.root, "work.repo")
        with open(path, "w", encoding="utf-8") as f:
            for relative, url, body in modules:
                size = f"\t{len(body)}" if sized else ""
                f.write(f"module={relative}\t{url}\t{hashlib.sha256(body).hexdigest()}{size}\n")
        args = key_args or publish_args(name)[:2]
        subprocess.run([self.repo_tool, "sign", *args, "--name", name, "--serial", str(serial),
                        path], check=True, capture_output=True)
        with open(path, "rb") as f:
            return f.read()

    def foreign_repository(self, name, modules, serial):
        return self.repository(name, modules, serial, ["--key", self.foreign])


def lines_ending(sandbox, text):
    return [line for line in sandbox.log.lines() if line.endswith(text)]


def forged_repositories_case(ctx):
    """One run meets an attack on every repository it fetches: nothing is
    accepted, the local copies stay, nothing reaches the plain-http server,
    and nothing is written to the game folder."""
    box = Sandbox(ctx, "forged")
    routes, url = ctx.server.routes, ctx.server.url
    evil = [("Language.txt", url + "/files/evil", b"evil")]
    routes.set("/files/evil", "body", b"evil")
    ctx.server.plain_routes.set("/evil.repo", "body",
                                 ctx.tools.repository("kanade-patcher-linux", evil, 99))
    current_lua = ctx.tools.repository("kanade-lua", [], 5)
    box.write("kanade-lua.repo", current_lua, os.path.join(box.program, "repos"))
    routes.set("/repos/kanade-patcher-linux.repo", "redirect", ctx.server.plain_url + "/evil.repo")
    routes.set("/repos/kanade-conv-test.repo", "body",
               ctx.tools.foreign_repository("kanade-conv-test", evil, 9))
    # The genuine signed file of another repository, served under this name.
    routes.set("/repos/kanade-test.repo", "body", ctx.tools.repository("kanade-prefixed", evil, 9))
    routes.set("/repos/kanade-prefixed.repo", "endless")
    routes.set("/repos/kanade-lua.repo", "body", ctx.tools.repository("kanade-lua", evil, 4))
    check(box.run_to_end(), "forged: the run comes to its end")
    for name, word in (("kanade-patcher-linux", " 失敗"), ("kanade-conv-test", " 不一致"),
                       ("kanade-test", " 不一致"), ("kanade-prefixed", " 失敗"),
                       ("kanade-lua", " 不一致")):
        expected = f"< レポジトリを取得中: {url}/repos/{name}.repo{word}"
        check(expected in box.log.lines(), f"forged: {name} ends in{word}")
    check(ctx.server.plain_routes.requests == [], "forged: the http redirect was never followed")
    check(box.read(os.path.join(box.program, "repos", "kanade-lua.repo")) == current_lua,
          "forged: the newer local copy stays")
    check(sorted(os.listdir(os.path.join(box.program, "repos"))) == ["kanade-lua.repo"],
          "forged: nothing else is kept in repos/")
    check(os.listdir(box.game) == [GAME_EXE], "forged: the game folder is untouched")
    check(box.leftovers() == [], "forged: no temporary file is left")


def conditional_case(ctx):
    """A second run asks whether each repository changed since the copies of
    the first. Every repository meets another bad answer or spoiled kept
    validators; nothing unverified is taken, and the log says why."""
    box = Sandbox(ctx, "conditional")
    routes, url = ctx.server.routes, ctx.server.url
    repos = os.path.join(box.program, "repos")
    names = ("kanade-patcher-linux", "kanade-conv-test", "kanade-test", "kanade-prefixed",
             "kanade-lua")
    first = {name: ctx.tools.repository(name, [], 1) for name in names}
    for name in names:
        routes.set(f"/repos/{name}.repo", "tagged", first[name], f'"{name}-1"')
    check(box.run_to_end(), "conditional: the first run comes to its end")

    evil_body = b"evil"
    routes.set("/files/evil", "body", evil_body)
    newer = {name: ctx.tools.repository(name, [("Language.txt", url + "/files/evil", evil_body)],
                                        2) for name in names}
    # A 304 that carries a newer signed release as its body.
    routes.set("/repos/kanade-patcher-linux.repo", "raw",
               b"HTTP/1.1 304 Not Modified\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
               % len(newer["kanade-patcher-linux"]) + newer["kanade-patcher-linux"])
    # A 304 to a request that asked nothing: the validators were taken away.
    os.remove(os.path.join(repos, "kanade-conv-test.repo.validators"))
    routes.set("/repos/kanade-conv-test.repo", "status", 304)
    # A newer release under a 10 MB ETag.
    routes.set("/repos/kanade-test.repo", "tagged", newer["kanade-test"], '"' + "e" * (10 << 20) + '"')
    # Kept validators that are a link, or another repository's.
    outside = os.path.join(box.outside, "validators")
    os.rename(os.path.join(repos, "kanade-prefixed.repo.validators"), outside)
    os.symlink(outside, os.path.join(repos, "kanade-prefixed.repo.validators"))
    shutil.copy(os.path.join(repos, "kanade-test.repo.validators"),
                os.path.join(repos, "kanade-lua.repo.validators"))
    outside_bytes = box.read(outside)
    asked_before = len(routes.asked)
    check(box.run_to_end(), "conditional: the second run comes to its end")

    lines = box.log.lines()
    lines = lines[len(lines) - lines[::-1].index("===== Program Started ====="):]
    for name, word, reason in (
            ("kanade-patcher-linux", " 失敗", "! the server's 304 Not Modified came with a body"),
            ("kanade-conv-test", " 失敗", "! the server answered 304 Not Modified to a request "
                                        "without validators"),
            ("kanade-test", " 失敗", "! a response header line was longer than libcurl takes"),
            ("kanade-prefixed", " 成功", "! kanade-prefixed.repo.validators not used (a link"),
            ("kanade-lua", " 成功", f"! kanade-lua.repo.validators not used (kept for {url}/repos/"
                                   "kanade-test.repo)")):
        line = f"< レポジトリを取得中: {url}/repos/{name}.repo{word}"
        at = lines.index(line) if line in lines else -1
        check(at >= 0, f"conditional: {name} ends in{word}")
        check(at >= 0 and any(later.startswith(reason) for later in lines[at + 1:at + 3]),
              f"conditional: {name}: the log says why ({reason})")
        local = "kanade-patcher" if name == "kanade-patcher-linux" else name
        check(box.read(os.path.join(repos, local + ".repo")) == first[name],
              f"conditional: {name}: the first copy stays")
    asked = dict(routes.asked[asked_before:])
    check(asked.get("/repos/kanade-patcher-linux.repo") == '"kanade-patcher-linux-1"' and
          asked.get("/repos/kanade-prefixed.repo") is None and
          asked.get("/repos/kanade-lua.repo") is None,
          f"conditional: only validators that belong to their copy are sent: {asked}")
    check(box.read(outside) == outside_bytes and
          not os.path.islink(os.path.join(repos, "kanade-prefixed.repo.validators")),
          "conditional: the linked validators are replaced, not written through")
    check(not os.path.exists(os.path.join(box.game, "Language.txt")),
          "conditional: nothing of the unverified releases is installed")
    check(box.leftovers() == [], "conditional: no temporary file is left")


def files_case(ctx):
    """A genuinely signed repository whose module paths run through a link
    or name Windows devices and streams: those are refused, a link at a
    module's own place is replaced itself, leftovers of a killed run go."""
    box = Sandbox(ctx, "files")
    url = ctx.server.url
    # Another user's link: the player's own would be followed.
    os.symlink(box.outside, os.path.join(box.game, "Shroud of the Avatar_Data"))
    os.lchown(os.path.join(box.game, "Shroud of the Avatar_Data"), 65534, 65534)
    box.write("victim.txt", b"precious", box.outside)
    os.symlink(os.path.join(box.outside, "victim.txt"), os.path.join(box.game, "Language.txt"))
    box.write("Language.txt.kanade-tmp-0123456789abcdef", b"half")
    box.write("kanade-test.repo.kanade-tmp-fedcba9876543210", b"half",
              os.path.join(box.program, "repos"))
    modules = []
    for relative in ("Language.txt", "Shroud of the Avatar_Data/victim.txt", "CON",
                     "nul.txt", "notes.txt:stream", "trailing.", "a/com1.dat"):
        body = b"translated " + relative.encode()
        served = "/files/" + hashlib.sha256(body).hexdigest()
        ctx.server.routes.set(served, "body", body)
        modules.append((relative, url + served, body))
    ctx.server.routes.set("/repos/kanade-test.repo", "body",
                           ctx.tools.repository("kanade-test", modules, 1))
    check(box.run_to_end(), "files: the run comes to its end")
    refused = lines_ending(box, " 拒否")
    check(len(refused) == 6, f"files: six modules refused ({len(refused)})")
    check(box.read(os.path.join(box.outside, "victim.txt")) == b"precious",
          "files: nothing is written through the link")
    check(any(line.startswith("! ") and line.endswith(", made by nobody (uid 65534)")
              for line in box.log.lines()), "files: the link's maker is named")
    language = os.path.join(box.game, "Language.txt")
    check(not os.path.islink(language) and box.read(language) == b"translated Language.txt",
          "files: the link at the module's place is replaced by the file")
    check(box.leftovers() == [], "files: leftovers of a killed run are gone")


def killed_case(ctx):
    """A run killed while a module arrives leaves the old file whole and a
    temporary file, which the next run removes as it installs the module."""
    box = Sandbox(ctx, "killed")
    url = ctx.server.url
    body = os.urandom(6 << 20)
    box.write("big.bin", b"old file")
    ctx.server.routes.set("/files/big", "slow", body, 65536, 0.05)
    ctx.server.routes.set("/repos/kanade-test.repo", "body",
                           ctx.tools.repository("kanade-test", [("big.bin", url + "/files/big",
                                                                  body)], 1))
    proc = box.start()
    arriving = wait_until(lambda: any(line.startswith("< - 更新中: ") and not line.endswith(" 0")
                                      for line in box.log.lines()), 60)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    check(arriving, "killed: the module was arriving")
    check(box.read(os.path.join(box.game, "big.bin")) == b"old file",
          "killed: the old file is whole")
    check(len(box.leftovers()) == 1, "killed: the partial body lies in a temporary file")
    ctx.server.routes.set("/files/big", "body", body)
    check(box.run_to_end(), "killed: the next run comes to its end")
    check(box.read(os.path.join(box.game, "big.bin")) == body, "killed: the next run installs it")
    check(box.leftovers() == [], "killed: and removes the temporary file")


OTHER_USER = "65534"  # nobody


def as_other_user(*command):
    """Runs `command` as the other user, who may write the program folder."""
    subprocess.run(["setpriv", "--reuid", OTHER_USER, "--regid", OTHER_USER, "--clear-groups",
                    *command], check=True, capture_output=True, timeout=30)


def run_through(ctx, box, *args, timeout=60):
    """One run to its end: an "-uninstall" run ends by itself, another is
    closed once its log shows the closing message; OK is clicked in the
    settings window if it opens (as it does when no settings were read).
    Whether the run ended, and whether the window opened."""
    proc = box.start(*args)
    env = dict(os.environ, DISPLAY=ctx.display)
    clicked = ended = False
    deadline = time.time() + timeout
    while not ended and time.time() < deadline:
        found = [] if clicked else window_ids(env, SETTINGS_TITLE)
        if found:
            time.sleep(0.3)
            subprocess.run(["xdotool", "mousemove", "--window", found[0], "540", "472", "click",
                            "1"], env=env, capture_output=True, timeout=10)
            clicked = True
        time.sleep(0.2)
        if "-uninstall" in args:
            ended = proc.poll() == 0
        else:
            ended = any(line.startswith(FINISHED) for line in box.log.lines())
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    return ended, clicked


def plant(box, theirs, name, kind, content):
    """The other user's `kind` at `name` in the program folder, pointing at
    root's file of that name outside (holding `content`) or at `theirs`."""
    at = os.path.join(box.program, name)
    victim = os.path.join(box.outside, os.path.basename(name))
    box.write(os.path.basename(name), content, box.outside)
    if kind == "symlink":
        as_other_user("ln", "-s", victim, at)
    elif kind == "theirs":
        as_other_user("ln", "-s", theirs, at)
    elif kind == "fifo":
        as_other_user("mkfifo", at)
    elif kind == "endless":
        # 64 GiB of zeros that cost their planter no disk.
        as_other_user("truncate", "-s", "64G", at)
    elif kind == "hardlink":
        # Where fs.protected_hardlinks is off (and on Windows) anyone may
        # link to a file they cannot write; root plants those here.
        os.link(victim, at)


def local_attacker_case(ctx):
    """A second attacker: another user who may write the program folder
    (mode 777) plants links to root's files outside, a link to a folder of
    their own, hard links, pipes and endless sparse files where the patcher,
    run by root, writes its log, settings, repository copies, upgrade and
    temporary files. Each
    row is one run. Every file outside keeps its bytes and times, each fetch
    ends as its row says, and the listed build, the running one, is copied
    over a link at upgrade_kanade, never fetched."""
    if os.geteuid() != 0:
        print("  (skipped: only root can play the other user)")
        return
    url = ctx.server.url
    with open(ctx.kanade, "rb") as f:
        build = f.read()
    ctx.server.routes.set("/files/local-build", "body", build)
    ctx.server.routes.set("/repos/kanade-patcher-linux.repo", "body", ctx.tools.repository(
        "kanade-patcher-linux", [("kanade", url + "/files/local-build", build)], 50))
    for name in ("kanade-test", "kanade-prefixed", "kanade-lua"):
        ctx.server.routes.set(f"/repos/{name}.repo", "body", ctx.tools.repository(name, [], 50))
    older = ctx.tools.repository("kanade-conv-test", [], 50)
    ctx.server.routes.set("/repos/kanade-conv-test.repo", "body",
                           ctx.tools.repository("kanade-conv-test", [], 51))
    os.chmod(ctx.root, 0o755)  # the other user reaches the program folder
    # A display of its own: a click meant for a settings window here must
    # never reach the run that drips meanwhile.
    xvfb = Xvfb()
    try:
        local = copy.copy(ctx)
        local.display = xvfb.display
        local_attacker_rows(local, build, older)
    finally:
        xvfb.stop()


def local_attacker_rows(ctx, build, older):
    """The rows of local_attacker_case; `older` is the genuine local copy of
    kanade-conv-test that a hard link in repos/ points to."""
    url = ctx.server.url
    leftover = "kanade.kanade-tmp-0123456789abcdef"
    names = ("kanade-patcher-linux", "kanade-conv-test", "kanade-test", "kanade-prefixed",
             "kanade-lua")
    ok, failed = " 成功", " 失敗"
    # (what, arguments, plants, how each fetch ends; None: not looked at)
    rows = [
        ("linked repos/ and settings", [],
         {"kanade.ini": "symlink", "repos": "theirs", leftover: "symlink"}, [failed] * 5),
        ("links in repos/", [],
         {"kanade.ini": "hardlink", "repos/kanade-test.repo": "symlink",
          "repos/kanade-lua.repo": "fifo", "repos/kanade-conv-test.repo": "hardlink",
          "repos/" + leftover: "symlink", "upgrade_kanade": "symlink"},
         [ok, ok, failed, ok, failed]),
        ("a pipe for settings", [], {"kanade.ini": "fifo", "upgrade_kanade": "hardlink"}, [ok] * 5),
        # Another user's copy is neither read nor replaced.
        ("endless settings and copy", [],
         {"kanade.ini": "endless", "repos/kanade-test.repo": "endless"},
         [ok, ok, failed, ok, ok]),
        ("a linked log", ["-uninstall"], {"kanade.log": "symlink"}, None),
        ("a hard-linked log", ["-uninstall"], {"kanade.log": "hardlink"}, None),
        ("a pipe for the log", ["-uninstall"], {"kanade.log": "fifo"}, None),
    ]
    for n, (what, args, plants, fetches) in enumerate(rows):
        box = Sandbox(ctx, f"local-{n}")
        theirs = os.path.join(box.path, "theirs")
        box.write("kanade-test.repo", b"their copy", theirs)
        box.write("kanade-lua.repo.kanade-tmp-0123456789abcdef", b"their file", theirs)
        for path in (theirs, *(os.path.join(theirs, f) for f in os.listdir(theirs))):
            os.chown(path, int(OTHER_USER), int(OTHER_USER))
        settings = ini_bytes(1, "kanade-test", box.game)
        if "kanade.ini" in plants:
            os.remove(os.path.join(box.program, "kanade.ini"))
        if "repos" in plants:
            os.rmdir(os.path.join(box.program, "repos"))
        else:
            os.chmod(os.path.join(box.program, "repos"), 0o777)
        # Root's folder that anyone may write (one that another user owns stops
        # the run before anything is read: see the record cases).
        os.chmod(box.program, 0o777)
        for name, kind in plants.items():
            content = (older if name.endswith("conv-test.repo") else
                       settings if name == "kanade.ini" else b"root's " + name.encode())
            plant(box, theirs, name, kind, content)
        before = snapshot(box.outside, theirs)
        requests = len(ctx.server.routes.requests)
        ended, window = run_through(ctx, box, *args)
        check(ended, f"local attacker, {what}: the run comes to its end")
        after = snapshot(box.outside, theirs)
        changed = changes(before, after)
        check(not changed, f"local attacker, {what}: nothing outside changes {changed}")
        check("/files/local-build" not in ctx.server.routes.requests[requests:],
              f"local attacker, {what}: the running build is never fetched")
        for name, kind in plants.items():
            at = os.path.join(box.program, name)
            if name.endswith(leftover):
                check(not os.path.lexists(at), f"local attacker, {what}: the leftover {name} "
                      "goes itself, not what it points to")
            elif kind in ("symlink", "theirs"):
                check(os.path.islink(at) or name == "upgrade_kanade",
                      f"local attacker, {what}: {name} is still the other user's link")
        if "kanade.ini" in plants:
            check(window == (plants["kanade.ini"] != "hardlink"),
                  f"local attacker, {what}: settings are read from a hard link only")
        if fetches:
            lines = box.log.lines()
            for name, word in zip(names, fetches):
                line = f"< レポジトリを取得中: {url}/repos/{name}.repo"
                found = [x[len(line):] for x in lines if x.startswith(line)]
                check(found and all(w == word for w in found),
                      f"local attacker, {what}: fetching {name} ends in{word} ({found})")
        upgrade = os.path.join(box.program, "upgrade_kanade")
        if fetches and fetches[0] == ok:
            check(own_copy(upgrade, build), f"local attacker, {what}: upgrade_kanade is a copy "
                  "of the running build in a file of its own")


def setup(ctx):
    ctx.kanade, repo_tool = ctx.args
    start_display(ctx)
    ctx.server = Servers(ctx.root)
    ctx.tools = Tools(ctx.root, repo_tool)


def drip_start(ctx):
    """The drip runs alongside the other cases: it takes a minute by design."""
    ctx.drip = Sandbox(ctx, "drip")
    ctx.server.routes.set("/repos/kanade-patcher-linux.repo", "drip", 20)
    ctx.drip_proc = ctx.drip.start()
    ctx.cleanup.callback(ctx.drip_proc.kill)
    wait_until(lambda: "/repos/kanade-patcher-linux.repo" in ctx.server.routes.requests, 30)
    ctx.drip_started = time.time()


def drip_case(ctx):
    """A repository that drips one byte every 20 s is given up after the
    low-speed window (60 s) instead of holding the run for ever."""
    box = ctx.drip
    finished = wait_until(lambda: box.log.closing(), 150)
    elapsed = time.time() - ctx.drip_started
    check(finished, f"drip: the run ends ({elapsed:.0f} s)")
    url = ctx.server.url + "/repos/kanade-patcher-linux.repo"
    check(f"< レポジトリを取得中: {url} 失敗" in box.log.lines(), "drip: the fetch fails")
    check(elapsed < 140, f"drip: given up within the low-speed window ({elapsed:.0f} s)")


if __name__ == "__main__":
    sys.exit(main("hostile server e2e", __doc__, [
        drip_start, forged_repositories_case, files_case, killed_case, local_attacker_case,
        conditional_case, drip_case], setup))
