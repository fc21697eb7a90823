#!/usr/bin/python3
"""The self-upgrade with real processes in a private Xvfb, against nginx.

scripts/demo-sandbox.sh makes the server, a Steam-shaped home and a program
folder holding the built `kanade` (the older build). `kanade-repo publish
--linux` then publishes a newer build as the program's own repository: the
same bytes with a tail appended, which ELF ignores. A monitor thread polls /proc for processes
whose executable lies in the program folder (with their command lines and
working folders), the two executables and the lines of kanade.log, and
stamps each event with the time it first saw it. The test checks the order
of the hand-off through three generations, that the upgrade copy goes on
well under a second after the first generation ended (not after the ten
seconds of -waitfor), that a repository whose listed digest does not match
the served build starts nothing and says so on a red line of its own with
the reason in the log (a folder planted at upgrade_kanade, and a virus
scanner: game_running_cases.py), and that a repository listing the running
build has it copied, not fetched.

Every wait has a time-out; leftover processes of the sandbox, nginx and
Xvfb are stopped at the end whatever happens.

Usage: self_upgrade_test.py KANADE KANADE_REPO
(KANADE_E2E_KEEP=DIR keeps the sandbox there; after a failure it is kept
in any case and its folder is printed.)
"""
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import e2e_common
from e2e_common import (MAIN_TITLE, REPO_SERVER, SOURCE_DIR, STARTED, KanadeLog, check,
                        cut_runs, ini_bytes, kanade_env, main, publish_args, secret_key,
                        start_display, start_kanade)
from game_running_cases import NOT_UPDATED, said_before_ready
from x11 import window_ids

SCRIPTS = os.path.join(SOURCE_DIR, "scripts")
READY = "> " + e2e_common.READY
OWN_REPOSITORY = "repos/kanade-patcher-linux.repo"
# Where publish_own serves the build it is given.
BUILD_REQUEST = "GET /files/kanade-patcher/kanade "
POLL = 0.02
# Forked helpers of StartProgram live for microseconds; a generation lives
# for a few tenths of a second at least (the upgrade copy goes on as soon as
# the first generation has ended).
GENERATION_LIFETIME = 0.1

e2e_common.show_passes = True


def wait_until(predicate, timeout):
    return e2e_common.wait_until(predicate, timeout, step=0.05)


def digest(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def inode(path):
    try:
        return os.stat(path).st_ino
    except OSError:
        return None


class Process:
    def __init__(self, pid, now):
        self.pid = pid
        self.first = self.last = now
        self.exe = self.inode = self.cwd = None
        self.argv = []
        self.gone = None
        self.adopted = False  # started by the test: a generation however short
        self.own_sightings = 0  # seen running an image its parent does not

    def lifetime(self):
        return self.last - self.first


class Monitor(threading.Thread):
    """Polls the processes of one program folder, its two executables and
    its log, recording when each thing was first seen."""

    def __init__(self, folder):
        super().__init__(daemon=True)
        self.folder = folder
        self.program = os.path.join(folder, "kanade")
        self.upgrade = os.path.join(folder, "upgrade_kanade")
        self.log = os.path.join(folder, "kanade.log")
        self.lock = threading.Lock()
        self.processes = {}
        self.lines = []  # (time, text)
        self.upgrade_seen = None  # (time, inode)
        self.program_inode = inode(self.program)
        self.program_replaced = None  # (time, inode)
        self._log_offset = 0
        self._pending = b""
        self._halt = threading.Event()

    def run(self):
        while not self._halt.is_set():
            self.poll()
            time.sleep(POLL)
        self.poll()

    def stop(self):
        self._halt.set()
        self.join(timeout=5)

    def poll(self):
        now = time.time()
        alive = set()
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                exe = os.readlink(f"/proc/{name}/exe").removesuffix(" (deleted)")
                if os.path.dirname(exe) != self.folder:
                    continue
                with open(f"/proc/{name}/cmdline", "rb") as f:
                    argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0")[:-1]]
                cwd = os.readlink(f"/proc/{name}/cwd")
                exe_inode = os.stat(f"/proc/{name}/exe").st_ino
                with open(f"/proc/{name}/stat", "rb") as f:
                    ppid = int(f.read().rsplit(b")", 1)[1].split()[1])
            except OSError:  # gone meanwhile, or a zombie
                continue
            pid = int(name)
            alive.add(pid)
            with self.lock:
                process = self.processes.get(pid)
                if process is None:
                    process = self.processes[pid] = Process(pid, now)
                # The last identity counts: a forked child becomes the
                # started program when it executes it.
                process.exe, process.argv, process.cwd, process.inode = exe, argv, cwd, exe_inode
                process.last = now
                # A fork that has not executed its program yet looks like its parent.
                parent = self.processes.get(ppid)
                if parent is None or (parent.exe, parent.argv) != (exe, argv):
                    process.own_sightings += 1
        with self.lock:
            for process in self.processes.values():
                if process.gone is None and process.pid not in alive:
                    process.gone = now
            if self.upgrade_seen is None and os.path.exists(self.upgrade):
                self.upgrade_seen = (now, inode(self.upgrade))
            current = inode(self.program)
            if self.program_replaced is None and current != self.program_inode:
                self.program_replaced = (now, current)
        self.read_log(now)

    def read_log(self, now):
        try:
            with open(self.log, "rb") as f:
                f.seek(self._log_offset)
                data = f.read()
        except OSError:
            return
        self._log_offset += len(data)
        self._pending += data
        *whole, self._pending = self._pending.split(b"\r\n")
        with self.lock:
            self.lines += [(now, line.decode("utf-8", "replace")) for line in whole]

    def line_time(self, text, after=0.0):
        """When the line `text` first appeared (not before `after`), or None."""
        with self.lock:
            return next((t for t, line in self.lines if line == text and t >= after), None)

    def texts(self):
        with self.lock:
            return [line for _, line in self.lines]

    def adopt(self, proc, argv):
        """The process the test started itself: the first generation, which
        may end before the first look at /proc."""
        with self.lock:
            process = self.processes[proc.pid] = Process(proc.pid, time.time())
            process.exe, process.argv, process.cwd = self.program, argv, self.folder
            process.adopted = True

    def generations(self):
        """The long-lived processes, in the order they appeared: a generation
        that hands over quickly may live for a tenth of a second only, but
        is seen running its own program more than once."""
        with self.lock:
            return sorted((p for p in self.processes.values()
                           if p.adopted or p.lifetime() >= GENERATION_LIFETIME or
                           p.own_sightings >= 2 or p.gone is None),
                          key=lambda p: p.first)


class DemoSandbox:
    """demo-sandbox.sh's server, home and program folder; the program's own
    repository is published again by each case. Program folders made here
    run in its home against its server."""

    def __init__(self, root, kanade, repo_tool):
        self.repo_tool = repo_tool
        # demo-sandbox.sh takes a build folder; give it one that holds the
        # two programs under test.
        build = os.path.join(root, "build")
        os.makedirs(os.path.join(build, "tools"))
        os.symlink(kanade, os.path.join(build, "kanade"))
        os.symlink(repo_tool, os.path.join(build, "tools", "kanade-repo"))
        self.path = os.path.join(root, "sandbox")
        made = subprocess.run(["bash", os.path.join(SCRIPTS, "demo-sandbox.sh"), build, self.path],
                              env=dict(os.environ, KANADE_SERVER_LIFETIME="300"),
                              capture_output=True, text=True, timeout=60)
        if made.returncode != 0:
            raise RuntimeError("demo-sandbox.sh: " + made.stderr.strip())
        self.values = dict(re.findall(r"^(?:export )?(\w+)='([^']*)'$", made.stdout, re.M))
        self.url = self.values["KANADE_REPOSITORY_URL"]
        self.www = os.path.join(self.path, "www")
        with open(kanade, "rb") as f:
            self.old_build = f.read()

    def program_folder(self, name):
        """A program folder with the older build and a chosen mode, so that
        no settings window opens."""
        folder = os.path.realpath(os.path.join(self.path, name))
        os.makedirs(folder, exist_ok=True)
        program = os.path.join(folder, "kanade")
        if not os.path.exists(program):
            shutil.copy2(os.path.join(self.path, "program", "kanade"), program)
        with open(os.path.join(folder, "kanade.ini"), "wb") as f:
            f.write(ini_bytes(1, "kanade-test"))
        return folder

    def publish_own(self, listed, served):
        """The program's own repository lists `listed` as the module
        "kanade" while the server delivers `served` at its URL."""
        for folder, body in (("listed", listed), ("files", served)):
            path = os.path.join(self.www, folder, "kanade-patcher", "kanade")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(body)
        subprocess.run([self.repo_tool, "build", os.path.join(self.www, "listed", "kanade-patcher"),
                        self.url + "/files/kanade-patcher", "-o",
                        os.path.join(self.www, OWN_REPOSITORY)]
                       + publish_args("kanade-patcher-linux"),
                       check=True, capture_output=True, timeout=30)

    def publish_build(self, build):
        """Publishes `build` as the team does, with kanade-repo publish; the
        request line of its download."""
        path = os.path.join(self.path, "new-build", "kanade")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(build)
        subprocess.run([self.repo_tool, "publish", "--key", secret_key(), "--out", self.www,
                        "--base-url", self.url, "--linux", path],
                       check=True, capture_output=True, timeout=60)
        digest = hashlib.sha256(build).hexdigest()
        return f"GET /files/{digest[:2]}/{digest} "

    def env(self, display):
        return kanade_env(display, self.url, self.values["CURL_CA_BUNDLE"], self.values["HOME"])

    def start(self, folder, display):
        return start_kanade(folder, self.env(display), output=os.path.join(folder, "kanade.out"))

    def access_log(self):
        try:
            with open(os.path.join(self.path, "server", "access.log"), encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""


def stop_server(root):
    state = os.path.join(root, "sandbox", "server")
    if os.path.isdir(state):
        subprocess.run(["bash", REPO_SERVER, "stop", state], capture_output=True, timeout=30)


def log_of(folder):
    return KanadeLog(os.path.join(folder, "kanade.log"))


def end_processes(folders):
    """Ends every process whose executable lies in one of `folders`: all of
    them were started by this test, directly or by a generation."""
    def find():
        found = []
        for name in os.listdir("/proc"):
            if name.isdigit():
                try:
                    exe = os.readlink(f"/proc/{name}/exe").removesuffix(" (deleted)")
                except OSError:
                    continue
                if os.path.dirname(exe) in folders:
                    found.append(int(name))
        return found

    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in find():
            try:
                os.kill(pid, sig)
            except OSError:
                pass
        if wait_until(lambda: not find(), 5):
            return


def stop(proc):
    if proc is not None and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def upgrade_case(ctx):
    """The older build finds a newer one and hands over through three
    generations; the third finds nothing new."""
    sandbox = ctx.sandbox
    folder = sandbox.program_folder("program")
    ctx.folders.add(folder)
    tail = b"\n-- kanade self-upgrade test: newer build --\n" + os.urandom(64)
    new_build = sandbox.old_build + tail
    new_digest = hashlib.sha256(new_build).hexdigest()
    old_digest = hashlib.sha256(sandbox.old_build).hexdigest()
    build_request = sandbox.publish_build(new_build)
    downloads_before = sandbox.access_log().count(build_request)
    program_exe = folder + "//kanade"  # ProgramFolder ends in the separator
    upgrade_exe = folder + "//upgrade_kanade"

    display_env = sandbox.env(ctx.display)
    monitor = Monitor(folder)
    # Started before the monitor thread: a fork with a pre-exec hook is only
    # safe while one thread runs.
    first = sandbox.start(folder, ctx.display)
    monitor.adopt(first, ["./kanade"])
    monitor.start()
    try:
        check(wait_until(lambda: monitor.upgrade_seen, 40) is not None,
              "the newer build is downloaded as upgrade_kanade")
        try:
            code = first.wait(timeout=10)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, f"the first generation ends with exit code 0 (got {code})")

        def started(exe, *others, running=False):
            """The earliest process of `exe` that is none of `others` (and,
            with `running`, has not ended). A forked child counts once it has
            executed the program."""
            with monitor.lock:
                found = [p for p in monitor.processes.values()
                         if p.exe == os.path.join(folder, exe) and p.pid not in others
                         and not (running and p.gone is not None)]
            return min(found, key=lambda p: p.first, default=None)

        def second():
            return started("upgrade_kanade")

        gen2 = wait_until(second, 10)
        if not check(gen2 is not None, "a second generation starts"):
            return
        countdown_start = wait_until(
            lambda: monitor.line_time("UPG:> -waitfor: アップグレード待機中: 10.0 秒"), 10)
        check(countdown_start is not None, "the second generation starts its countdown")
        windows = wait_until(lambda: len(window_ids(display_env, MAIN_TITLE)) == 1, 5)
        check(windows, "one main window during the countdown: the second generation's "
              f"({len(window_ids(display_env, MAIN_TITLE))})")
        handing_over = wait_until(
            lambda: monitor.line_time("UPG:> -upgrade: Performing software upgrade..."), 20)
        check(handing_over is not None, "the second generation performs the upgrade")

        def third():
            # Still running: the first generation's short-lived forks, which
            # the monitor may catch under load, are gone.
            return started("kanade", first.pid, gen2.pid, running=True)

        gen3 = wait_until(third, 15)
        if not check(gen3 is not None, "a third generation starts"):
            return

        def third_ready():
            runs = cut_runs(monitor.texts())
            return len(runs) >= 3 and READY in runs[2]

        check(wait_until(third_ready, 40), "the third generation reaches the ready message")
        ready_at = monitor.line_time(READY, after=gen3.first)
        # Nothing new for the third generation: no fourth may appear.
        time.sleep(3)
        monitor.poll()
        gens = monitor.generations()
        check(gen3.gone is None, "the third generation keeps running after its run")
        windows = len(window_ids(display_env, MAIN_TITLE))
        check(windows == 1,
              f"one main window on the display after the run: the third generation's ({windows})")
    finally:
        monitor.stop()

    # The generations and their command lines.
    check([p.pid for p in gens] == [first.pid, gen2.pid, gen3.pid],
          "exactly three generations ran: " +
          ", ".join(f"{p.pid} {p.argv} ({p.lifetime():.1f} s)" for p in gens))
    check(gen2.argv == [upgrade_exe, "-waitfor", "10", "-upgrade"] and
          gen2.exe == os.path.join(folder, "upgrade_kanade"),
          f"the second generation runs upgrade_kanade -waitfor 10 -upgrade: {gen2.argv}")
    check(gen3.argv == [program_exe] and gen3.exe == os.path.join(folder, "kanade"),
          f"the third generation runs kanade without options: {gen3.argv}")
    check(gen2.cwd == folder and gen3.cwd == folder,
          "both started generations run in the program folder")
    check(gen2.gone is not None, "the second generation has ended")
    check(monitor.program_replaced is not None and gen3.inode == monitor.program_replaced[1],
          "the third generation runs the copied file")

    # The order of events.
    gen1 = monitor.processes.get(first.pid)
    copied = monitor.program_replaced[0] if monitor.program_replaced else None
    copy_announced = monitor.line_time(f"UPG:> アップデート処理中: {upgrade_exe} -> {program_exe}")
    events = [("upgrade_kanade downloaded", monitor.upgrade_seen and monitor.upgrade_seen[0]),
              ("gen 2 seen", gen2.first), ("gen 1 ended", gen1 and gen1.gone),
              ("countdown 10.0", countdown_start), ("upgrade performed", handing_over),
              ("copy announced", copy_announced), ("kanade replaced", copied),
              ("gen 3 seen", gen3.first), ("gen 2 ended", gen2.gone), ("ready", ready_at)]
    print("  timeline: " + ", ".join(
        f"{name} {t - events[0][1]:+.2f}" if t and events[0][1] else f"{name} ?"
        for name, t in events), flush=True)
    stamps = [t for _, t in events]
    if check(all(stamps), "every step of the hand-off was seen"):
        check(stamps[0] <= stamps[1], "upgrade_kanade exists before the second generation runs")
        check(first.returncode == 0 and stamps[2] < stamps[6],
              "the first generation ended before the copy over kanade")
        # The wait ends with the first generation, not after -waitfor's ten
        # seconds (the monitor looks every 20 ms).
        waited = stamps[4] - max(stamps[2], stamps[3])
        check(stamps[2] <= stamps[4] + POLL and waited < 0.5,
              f"the upgrade goes on {waited:.2f} s after the first generation ended and the "
              f"countdown began ({stamps[4] - stamps[2]:.2f} s after the first generation ended, "
              "with the copy's start)")
        check(stamps[3] <= stamps[4] <= stamps[5] <= stamps[6] <= stamps[7],
              "countdown, hand-over, announcement, copy and third start come in that order")
        check(stamps[7] <= stamps[8] + POLL * 2 and stamps[8] < stamps[9],
              "the second generation ends as the third starts, before the ready message")

    # The log: three runs, the second one entirely "UPG:".
    runs = cut_runs(monitor.texts())
    check([run[0] for run in runs] == [STARTED, "UPG:" + STARTED, STARTED],
          f"the log holds three starts, the second with UPG: ({len(runs)} runs)")
    if len(runs) == 3:
        gen1_lines, gen2_lines, gen3_lines = runs
        check(gen1_lines[-1] == "> アップデート準備中: " + upgrade_exe,
              f"the first generation ends after preparing the upgrade: {gen1_lines[-1]!r}")
        check(f"< - 更新: {folder}/upgrade_kanade 成功" in gen1_lines,
              "the first generation reports the download of upgrade_kanade")
        header = ["UPG:" + line for line in gen1_lines[:3]]
        # The countdown shows the time left while it waits: 10.0, then in
        # tenths for as long as the first generation still ran.
        waited = sum(line.startswith("UPG:< -waitfor: ") for line in gen2_lines)
        countdown = ["UPG:> -waitfor: アップグレード待機中: 10.0 秒"] + [
            f"UPG:< -waitfor: アップグレード待機中: {n / 10:.1f} 秒" for n in range(99, 99 - waited, -1)]
        print(f"  countdown lines: {1 + waited} (10.0 to {(100 - waited) / 10:.1f} s)", flush=True)
        expected = header + countdown + [
            "UPG:> -upgrade: Performing software upgrade...",
            f"UPG:> アップデート処理中: {upgrade_exe} -> {program_exe}"]
        if not check(gen2_lines == expected,
                     "the second generation logs its countdown and the copy, each line with UPG:"):
            for n, (a, e) in enumerate(zip(gen2_lines + [None] * len(expected), expected)):
                if a != e:
                    print(f"  first difference at line {n}: {a!r} != {e!r}")
                    break
        check(not any(line.startswith("UPG:") for line in gen1_lines + gen3_lines),
              "the other generations log without UPG:")
        check("< レポジトリ適用: kanade-patcher.repo は更新なし" in gen3_lines and
              not any("アップデート準備中" in line or "upgrade_kanade" in line for line in gen3_lines),
              "the third generation finds nothing new and prepares no upgrade")

    check(digest(os.path.join(folder, "kanade")) == new_digest != old_digest,
          "kanade now holds the newer build")
    check(digest(os.path.join(folder, "upgrade_kanade")) == new_digest and
          monitor.upgrade_seen and inode(os.path.join(folder, "upgrade_kanade")) ==
          monitor.upgrade_seen[1], "upgrade_kanade stays, downloaded once")
    downloads = sandbox.access_log().count(build_request) - downloads_before
    check(downloads == 1, f"the newer build was downloaded exactly once ({downloads})")
    end_processes({folder})


def listed_build_case(ctx):
    """The program's own repository lists the running build: a first run
    makes upgrade_kanade by copying itself, with the lines of a download,
    fetches no body (the server's access log shows it) and starts nothing;
    the next run finds it current."""
    sandbox = ctx.sandbox
    folder = sandbox.program_folder("program-listed")
    ctx.folders.add(folder)
    build_request = sandbox.publish_build(sandbox.old_build)
    log_before = len(sandbox.access_log())
    upgrade_exe = folder + "/upgrade_kanade"
    for run in (1, 2):
        proc = sandbox.start(folder, ctx.display)
        try:
            done = wait_until(lambda: len([lines for lines in log_of(folder).runs()
                                           if READY in lines]) >= run, 40)
            check(done, f"run {run} reaches the ready message")
            lines = log_of(folder).runs()[-1]
            check(proc.poll() is None, f"run {run} keeps running: nothing was handed over")
        finally:
            stop(proc)
        if run == 1:
            # No progress lines: nothing was under way.
            check(e2e_common.install_lines(upgrade_exe, len(sandbox.old_build)) ==
                  [line for line in lines if upgrade_exe in line],
                  "the first run reports upgrade_kanade as a download: " +
                  repr([line for line in lines if upgrade_exe in line]))
        else:
            check("< レポジトリ適用: kanade-patcher.repo は更新なし" in lines and
                  not any(upgrade_exe in line for line in lines),
                  "the next run finds upgrade_kanade current")
    check(digest(os.path.join(folder, "upgrade_kanade")) ==
          hashlib.sha256(sandbox.old_build).hexdigest(), "upgrade_kanade holds the running build")
    fetched = sandbox.access_log()[log_before:]
    check(build_request.split()[1] not in fetched and "/repos/kanade-patcher-linux.repo" in fetched,
          "the own repository is fetched, its module body never")


def mismatch_case(ctx):
    """The own repository lists a digest that the served build does not
    have: the download is rejected, nothing is written or started, and the
    first generation goes on to its closing line, green for the translation,
    after a red line that says the patcher could not update itself."""
    sandbox = ctx.sandbox
    folder = sandbox.program_folder("program-mismatch")
    ctx.folders.add(folder)
    listed = sandbox.old_build + b"\n-- kanade self-upgrade test: listed build --\n"
    # As long as the listed build, so that its size passes and its digest fails.
    served = sandbox.old_build + b"\n-- kanade self-upgrade test: served build --\n"
    sandbox.publish_own(listed, served)
    before = set(os.listdir(folder))

    monitor = Monitor(folder)
    first = sandbox.start(folder, ctx.display)
    monitor.adopt(first, ["./kanade"])
    monitor.start()
    try:
        done = wait_until(lambda: READY in monitor.texts(), 40)
        check(done, "the run goes on to the green closing line")
        time.sleep(2)
        monitor.poll()
        lines = monitor.texts()
        check(said_before_ready(lines, NOT_UPDATED, "upgrade_kanade") is not None,
              "a red line before it says the patcher could not update itself, the log why")
        check(f"< - 更新: {folder}/upgrade_kanade ハッシュ不一致" in lines,
              "the downloaded build is rejected for its digest")
        check("< レポジトリ適用: kanade-patcher.repo は更新なし" in lines,
              "applying the program's repository changes nothing")
        check(not any("アップデート準備中" in line for line in lines), "no upgrade is prepared")
        check(BUILD_REQUEST in sandbox.access_log(),
              "the served build was fetched and checked")
        left = set(os.listdir(folder)) - before
        check(left <= {"kanade.log", "kanade.lock", "repos", "kanade.out"},
              f"nothing else is written to the program folder: {sorted(left)}")
        check(monitor.upgrade_seen is None, "upgrade_kanade never appeared")
        check(list(monitor.processes) == [first.pid] and first.poll() is None,
              "nothing is started and the first generation keeps running")
        old_digest = hashlib.sha256(sandbox.old_build).hexdigest()
        check(digest(os.path.join(folder, "kanade")) == old_digest, "kanade keeps the older build")
        check(sum(line.endswith(STARTED) for line in lines) == 1, "the log holds one start")
    finally:
        monitor.stop()
        stop(first)
        end_processes({folder})


def setup(ctx):
    kanade, repo_tool = ctx.args
    ctx.folders = set()
    start_display(ctx)
    ctx.cleanup.callback(stop_server, ctx.root)
    ctx.cleanup.callback(lambda: end_processes(ctx.folders))
    ctx.sandbox = DemoSandbox(ctx.root, kanade, repo_tool)


if __name__ == "__main__":
    sys.exit(main("self-upgrade e2e", __doc__, [
        listed_build_case, mismatch_case, upgrade_case], setup))
