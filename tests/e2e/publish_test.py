#!/usr/bin/python3
"""Releases published with `kanade-repo publish` reach the real patcher.

nginx (scripts/repo-server.sh) serves the folder that kanade-repo publish
writes; a small TCP relay in front of it can slow what nginx sends, so that
a release can be published while a client is still downloading. The real
`kanade` runs under a private Xvfb in Steam-shaped sandboxes
(e2e_common.Sandbox) with the translation switched on.

  release 1  a fresh client installs it whole; its next run asks whether
             each repository changed and gets 304s without a body
  release 2  one changed file: --dry-run names exactly it, and the client
             downloads exactly that module and that repository (nginx's
             access log); a local copy gone is fetched whole again
  release 3  published while a fresh client downloads release 2: it ends
             with release 2 or 3 whole, never a mix, and its next run with
             release 3

Usage: publish_test.py KANADE KANADE_REPO
(KANADE_SECRET_KEY names the secret of the publisher key the build trusts;
KANADE_E2E_KEEP=DIR keeps the sandboxes there.)
"""
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys

from e2e_common import (GAME_EXE, READY, REPO_SERVER, REPOSITORIES, Relay, Sandbox, check,
                        files_below, ini_bytes, main, read_bytes, secret_key, start_display,
                        wait_until, write_files)

TABLE = "Shroud of the Avatar_Data/AssetBundles/locoverrides.portresources.unity3d"
TEXTS = "Shroud of the Avatar_Data/Translations/会話 一覧.txt"
# Slow enough that the large table takes a few seconds through the relay.
SLOW_RATE = 2_000_000


def release(number):
    """kanade-test's files at release `number`: release 2 changes one file
    of release 1; release 3 changes two, drops one and adds one."""
    files = {
        "Language.txt": b"Japanese, release 1\r\n",
        TABLE: random.Random(1).randbytes(6_000_000),
        TEXTS: "".join(f"{n}: こんにちは、アヴァタール\n" for n in range(5000)).encode(),
        "Shroud of the Avatar_Data/old.txt": b"dropped in release 3\n",
    }
    if number >= 2:
        files["Language.txt"] = b"Japanese, release 2 (longer)\r\n"
    if number >= 3:
        files["Language.txt"] = b"Japanese, release 3\r\n"
        files[TABLE] = random.Random(3).randbytes(6_000_000)
        del files["Shroud of the Avatar_Data/old.txt"]
        files["Shroud of the Avatar_Data/new.txt"] = b"added in release 3\n"
    return files


class Publisher:
    """The translation team: a tree per release, published into the folder
    nginx serves."""

    def __init__(self, root, repo_tool, kanade):
        self.root = root
        self.repo_tool = repo_tool
        self.kanade = kanade
        self.www = os.path.join(root, "www")
        self.state = os.path.join(root, "server")
        os.makedirs(self.www)
        env = dict(os.environ, KANADE_SERVER_LIFETIME="300")
        started = subprocess.run(["bash", REPO_SERVER, "start", self.state, self.www], env=env,
                                 capture_output=True, text=True, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("repo-server.sh: " + started.stderr.strip())
        nginx_port = int(started.stdout.strip().splitlines()[-1].rsplit(":", 1)[1])
        self.relay = Relay(nginx_port)
        self.url = f"https://127.0.0.1:{self.relay.port}"
        self.ca = os.path.join(self.state, "ca.pem")

    def publish(self, number, *options):
        tree = os.path.join(self.root, f"release-{number}")
        if not os.path.isdir(tree):
            write_files(tree, release(number))
        # The other modes and the Lua module stay as they are.
        others = []
        for mode, files in (("kanade-conv-test", {"Language.txt": b"Japanese (conv)\r\n"}),
                            ("kanade-prefixed", {"Language.txt": b"Japanese (prefixed)\r\n"}),
                            ("kanade-lua", {"Lua/kanade.lua": b"-- live translation module\n"})):
            write_files(os.path.join(self.root, mode), files)
            others.append(f"{mode}={os.path.join(self.root, mode)}")
        # The served folder is made empty for the server; its first release is a new one.
        if not os.path.isdir(os.path.join(self.www, "repos")):
            options = ("--new", *options)
        return subprocess.run([self.repo_tool, "publish", "--key", secret_key(), "--out", self.www,
                               "--base-url", self.url, *options, "--linux", self.kanade,
                               "kanade-test=" + tree, *others],
                              capture_output=True, text=True, timeout=120)

    def requests(self, folder):
        """The requests below `folder` that nginx logged so far: (path,
        status, body bytes sent)."""
        try:
            with open(os.path.join(self.state, "access.log"), encoding="utf-8") as f:
                log = f.read()
        except OSError:
            return []
        return re.findall(rf'"GET (/{folder}/\S+) HTTP/[\d.]+" (\d+) (\d+)', log)

    def body_requests(self):
        """The module downloads nginx logged so far: (path, bytes sent)."""
        return [(path, sent) for path, status, sent in self.requests("files") if status == "200"]

    def gz_size(self, name):
        return os.path.getsize(os.path.join(self.www, "repos", name + ".repo.gz"))

    def stop(self):
        self.relay.stop()
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True, timeout=30)


def body_path(data):
    digest = hashlib.sha256(data).hexdigest()
    return f"/files/{digest[:2]}/{digest}"


class Client:
    """The real patcher in a sandbox of its own with kanade-test switched on
    and the program's own build already current."""

    def __init__(self, ctx, name):
        self.ctx = ctx
        self.sandbox = Sandbox(ctx, name, steam=True)
        self.sandbox.write_ini(ini_bytes(1, "kanade-test"))
        shutil.copy2(ctx.kanade, os.path.join(self.sandbox.program, "upgrade_kanade"))
        self.proc = None
        self.runs_before = 0

    def run_lines(self):
        """The log lines of the run started last, once it has begun."""
        runs = self.sandbox.log.runs()
        return runs[self.runs_before] if len(runs) > self.runs_before else []

    def start(self):
        self.runs_before = len(self.sandbox.log.runs())
        self.proc = self.sandbox.start()

    def finish(self, timeout=90):
        """Waits for the ready message of this run, then ends the program;
        the run's log lines."""
        try:
            ok = wait_until(lambda: "> " + READY in self.run_lines(), timeout, 0.2)
            check(ok, f"{self.sandbox.path}: the run reaches the ready message")
            return self.run_lines()
        finally:
            self.stop()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def installed(self):
        """The translation files in the game folder with their bytes."""
        return {path: read_bytes(os.path.join(self.sandbox.game, path))
                for path in files_below(self.sandbox.game) - {GAME_EXE}}

    def holds(self, number):
        """Whether every file of release `number` is installed with its bytes
        and nothing else is there but files that earlier releases listed
        (the patcher leaves those)."""
        installed = self.installed()
        earlier = {path for n in range(1, number) for path in release(n)}
        return (all(installed.get(path) == body for path, body in release(number).items()) and
                set(installed) <= set(release(number)) | earlier)

    def check_release(self, number, what):
        return check(self.holds(number), f"{what}: the game folder holds release {number} "
                                         f"({sorted(self.installed())})")


def check_published(result, what):
    if not check(result.returncode == 0, f"{what}: kanade-repo publish succeeds: {result.stderr}"):
        raise RuntimeError(what + " could not be published")


def releases_scenario(ctx):
    publisher = ctx.server
    check_published(publisher.publish(1), "release 1")
    compressible = release(1)[TEXTS]
    check(os.path.exists(os.path.join(publisher.www, body_path(compressible)[1:] + ".gz")),
          "the compressible text has a .gz copy beside its body")

    client = Client(ctx, "client-1")
    client.start()
    client.finish()
    client.check_release(1, "first run")
    sent = dict(publisher.body_requests())
    text_bytes = int(sent.get(body_path(compressible), 0))
    check(0 < text_bytes < len(compressible) * 0.9,
          f"nginx sends the text's .gz copy ({text_bytes} bytes for {len(compressible)})")

    # Nothing new: each repository is asked about with the validators of its
    # copy, and every answer is a 304 without a body.
    repos_before, files_before = len(publisher.requests("repos")), len(publisher.requests("files"))
    client.start()
    lines = client.finish()
    asked = publisher.requests("repos")[repos_before:]
    check(sorted(path for path, _, _ in asked) == sorted(f"/repos/{name}.repo"
                                                          for name in REPOSITORIES) and
          all(status == "304" and sent == "0" for _, status, sent in asked),
          f"a run with nothing new: 304 without a body for every repository: {asked}")
    check(len(publisher.requests("files")) == files_before, "and no module is downloaded")
    check(not any(line.startswith("! ") and line != "! no proxy" for line in lines),
          "and no reason is logged")

    # Release 2 changes one file: the dry run names it, the client fetches it.
    dry = publisher.publish(2, "--dry-run")
    module_lines = [line.strip() for line in dry.stdout.splitlines() if line.startswith("  ")]
    check(dry.returncode == 0 and module_lines == [
        f"changed Language.txt ({len(release(1)['Language.txt'])} -> "
        f"{len(release(2)['Language.txt'])} bytes)"],
          f"--dry-run names exactly the changed file: {module_lines}")
    check(not os.path.exists(os.path.join(publisher.www, body_path(release(2)["Language.txt"])[1:])),
          "--dry-run writes no body")
    check_published(publisher.publish(2), "release 2")
    before = len(publisher.body_requests())
    client.start()
    client.finish()
    fetched = [path for path, _ in publisher.body_requests()[before:]]
    check(fetched == [body_path(release(2)["Language.txt"])],
          f"the second run downloads exactly the changed module: {fetched}")
    client.check_release(2, "second run")
    answers = {path: (status, int(sent)) for path, status, sent
               in publisher.requests("repos")[-len(REPOSITORIES):]}
    check(answers.pop("/repos/kanade-test.repo", None) == ("200", publisher.gz_size("kanade-test"))
          and all(status == "304" for status, _ in answers.values()),
          f"the changed repository is fetched whole (its .gz copy), the others answered 304: "
          f"{publisher.requests('repos')[-len(REPOSITORIES):]}")

    # A local copy gone: its validators are not sent, and it is fetched whole.
    os.remove(os.path.join(client.sandbox.program, "repos", "kanade-lua.repo"))
    client.start()
    lines = client.finish()
    answers = dict((path, status) for path, status, _ in publisher.requests("repos")[-5:])
    check(answers.get("/repos/kanade-lua.repo") == "200" and
          os.path.isfile(os.path.join(client.sandbox.program, "repos", "kanade-lua.repo")),
          f"a repository whose local copy is gone is fetched whole: {answers}")
    check(any(line.startswith("! kanade-lua.repo.validators not used (no verified local copy")
              for line in lines), "and the log says why its validators were not sent")

    # Release 3 goes out while a fresh client downloads release 2's table.
    late = Client(ctx, "client-2")
    publisher.relay.rate = SLOW_RATE
    late.start()
    table = f"< - 更新中: {late.sandbox.game}/{TABLE} "
    downloading = wait_until(lambda: any(line.startswith(table) for line in late.run_lines()),
                             60, 0.05)
    check(downloading, "the fresh client is downloading the table")
    third = publisher.publish(3)
    done = f"< - 更新: {late.sandbox.game}/{TABLE} 成功" in late.run_lines()
    publisher.relay.rate = None
    check_published(third, "release 3")
    print(f"  release 3 was in place {'after' if done else 'before'} the table arrived", flush=True)
    lines = late.finish()
    check(late.holds(2) or late.holds(3),
          f"the client ends with release 2 or 3 whole, never a mix: {sorted(late.installed())}")
    check(not any(word in line for line in lines for word in ("ハッシュ不一致", "ダウンロード失敗")),
          "no download fails or mismatches meanwhile")
    late.start()
    late.finish()
    late.check_release(3, "the next run")


def setup(ctx):
    ctx.kanade, repo_tool = ctx.args
    start_display(ctx)
    ctx.server = Publisher(ctx.root, repo_tool, ctx.kanade)
    ctx.cleanup.callback(ctx.server.stop)


if __name__ == "__main__":
    sys.exit(main("publish e2e", __doc__, [releases_scenario], setup))
