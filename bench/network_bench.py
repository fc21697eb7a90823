#!/usr/bin/python3
"""Network benchmarks of the patcher against curl and openssl, in one run.

Two nginx servers over TLS serve the same files (scripts/repo-server.sh):
one with HTTP/2, one with HTTP/1.1 only, each behind a relay that delays
every chunk by 40 ms each way (delay_relay.py, an 80 ms round trip). The
real `kanade` runs in sandboxes under a private Xvfb and is timed from
process start to the lines of kanade.log; curl does the same transfers in
between, so that a busy moment of the shared machine hits both sides.

  latency      300 modules of 8 KiB installed: start to ready message, against
               curl -Z --parallel-max 8 and 100 fetching the same URLs (HTTP/2,
               HTTP/1.1)
  current      the next run, everything current, against one curl process
               fetching the five repository files together (-Z), and one
               fetching them in turn
  loopback     3,000 modules of 4 KiB into an empty folder, engine alone
               (bench_module_apply), against curl with 8 transfers at a time; its
               processor time against curl with 100
  large        one 512 MiB module, "- 更新: " line to its " 成功", against
               curl -o FILE then openssl dgst -sha256 FILE; peak memory
  compression  a 20 MiB text module with a .gz beside it, against the same
               module without: bytes on the wire and time
  scaling      100 to 3,000 modules of 4 KiB across the relay, with peak memory
  narrow       a capped mobile line: the relay gives the whole line 16,000 B/s
               toward the player (50 ms each way, at most 2 s queued), 150
               modules of 8 KiB; and 4,000 B/s, 40 modules; kanade start to
               ready against curl -Z --parallel-max 100 on the same line
  wine         kanade.exe (KANADE_BENCH_EXE, default build-win/kanade.exe,
               which must trust the same publisher key) under Wine against
               the Linux build, 300 x 8 KiB over HTTP/2 (not in the default set)

Each case also shows its physical floor: the round trips that TLS 1.3 and
the requests need across the relay (which accepts TCP connections itself, so
the TCP handshake crosses no delay), plus the bytes at 1 Gbit/s.

Usage: network_bench.py BUILD_DIR WORK_DIR
Environment: KANADE_SECRET_KEY (default BUILD_DIR/test-keys/publisher),
KANADE_BENCH_RUNS (3), KANADE_BENCH_SCALING_RUNS (1), KANADE_BENCH_NARROW_RUNS
(1: a run takes a minute and a half on each side), KANADE_BENCH_ONLY
(sections, comma-separated), KANADE_BENCH_LARGE_MIB (512),
KANADE_BENCH_SCALING_COUNTS (100,300,1000,3000), KANADE_BENCH_WINEDEBUG (Wine's
WINEDEBUG for kanade.exe, whose output is then kept beside the timed logs of
a work folder kept with --keep: +server shows each request to wineserver).
Not a test: it prints figures and ratios and never fails on them.
"""
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
from x11 import Xvfb, die_with_parent  # noqa: E402

REPO_SERVER = os.path.join(SOURCE_DIR, "scripts", "repo-server.sh")
RELAY = os.path.join(HERE, "delay_relay.py")
DELAY_MS = 40
RTT = 2 * DELAY_MS / 1000.0
LINK_BITS_PER_SECOND = 1e9  # the floor's link; the relay itself adds no limit


def floor(round_trips, body_bytes):
    """Seconds no client can beat: TLS 1.3 (1) and each dependent request (1)
    is a round trip, and the bytes take the link's time."""
    seconds = round_trips * RTT + body_bytes * 8 / LINK_BITS_PER_SECOND
    return f"{seconds:.3f} s ({round_trips} round trips + {body_bytes:,} bytes at 1 Gbit/s)"
GAME_EXE = "Shroud of the Avatar.exe"
FINISHED = "> 日本語化パッチ"  # the ready message, or the one saying it failed
READY = "> 日本語化パッチの準備ができました。ゲームを開始してください！"
APPLY_START = "> レポジトリ適用: kanade-test.repo を適用中..."
APPLY_END = "< レポジトリ適用: kanade-test.repo を適用済み"
INI = ("; Localization related settings\r\nEnableLocalization=1\r\nLocalizationMode=kanade-test\r\n"
       "GameLocationOverride={game}\r\n\r\n; Lua Related settings\r\nEnableLuaIntegration=0\r\n"
       "LiveTranslationToken=\r\n")


def module_started(text):
    return text.startswith("> - 更新: ")


def module_installed(text):
    return text.startswith("< - 更新: ") and text.endswith(" 成功")


TRANSLATION_REPOS = ("kanade-conv-test", "kanade-test", "kanade-prefixed", "kanade-lua")
SECTIONS = ("latency", "current", "loopback", "large", "compression", "scaling", "narrow",
            "wine")
# The narrow lines: (modules of 8 KiB, bytes a second toward the player).
NARROW_LINES = ((150, 16_000), (40, 4_000))
NARROW_DELAY_MS = 50
NARROW_QUEUE_S = 2
DEFAULT_SECTIONS = SECTIONS[:-1]


class BenchError(Exception):
    pass


def log(text):
    print("bench-network: " + text, file=sys.stderr, flush=True)


def run(*command, env=None):
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise BenchError(f"{os.path.basename(command[0])} failed: "
                         f"{(done.stderr or done.stdout).strip().splitlines()[-1:]}")
    return done.stdout


def timed(*command, env=None):
    """Wall time of a command, process start included."""
    start = time.perf_counter()
    done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise BenchError(f"{' '.join(command[:3])}... failed: {done.stderr.strip()[-200:]}")
    return seconds


class Stat:
    """Times of repeated runs: the median, and the best."""

    def __init__(self, values=(), summary=None):
        self.values = list(values)
        self.summary = summary  # (median, best, runs) reported by a bench program

    def add(self, value):
        self.values.append(value)

    @property
    def median(self):
        return self.summary[0] if self.summary else statistics.median(self.values)

    @property
    def best(self):
        return self.summary[1] if self.summary else min(self.values)

    @property
    def runs(self):
        return self.summary[2] if self.summary else len(self.values)

    def __str__(self):
        if self.runs == 1:
            return f"{self.median:.3f} s (1 run)"
        return f"{self.median:.3f} s (best {self.best:.3f}, {self.runs} runs)"


def ratio(a, b):
    return f"{a.median / b.median:.2f} (best/best {a.best / b.best:.2f})"


def verdict(value, goal):
    return "met" if value <= goal else "NOT met"


# --- files ------------------------------------------------------------------

def write_modules(folder, count, size, seed):
    """`count` incompressible files of `size` bytes in folders of 50."""
    rng = random.Random(seed)
    for i in range(count):
        sub = os.path.join(folder, f"d{i // 50:03d}")
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, f"m{i:05d}.bin"), "wb") as f:
            f.write(rng.randbytes(size))


def write_text(path, size):
    """A translation table as text: keys and Japanese sentences."""
    rng = random.Random(7)
    words = ["アヴァタール", "こんにちは", "設定", "更新", "ブリタニア", "魔法", "剣", "盾",
             "クエスト", "報酬", "を", "に", "は", "が", "の", "です。", "ます。", "ください。",
             "Shroud", "Avatar", "quest", "item", "{0}", "{1}", "\\n"]
    lines, total, n = [], 0, 0
    while total < size:
        line = (f"ui.text.{n:07d}\t" + "".join(rng.choice(words) for _ in range(rng.randint(4, 18)))
                + "\r\n").encode()
        lines.append(line)
        total += len(line)
        n += 1
    with open(path, "wb") as f:
        f.write(b"".join(lines)[:size])


# --- servers ----------------------------------------------------------------

class Server:
    """nginx over TLS on the shared file tree, and a delaying relay in front."""

    def __init__(self, work, name, http2):
        self.state = os.path.join(work, "servers", name)
        self.www = os.path.join(work, "www-" + name)
        os.makedirs(os.path.join(self.www, "repos"), exist_ok=True)
        if not os.path.lexists(os.path.join(self.www, "files")):
            os.symlink("../files", os.path.join(self.www, "files"))
        env = dict(os.environ, KANADE_SERVER_HTTP2="1" if http2 else "0",
                   KANADE_SERVER_LIFETIME="7200")
        self.url = run("bash", REPO_SERVER, "start", self.state, self.www, env=env).strip()
        self.ca = os.path.join(self.state, "ca.pem")
        self.relay = subprocess.Popen(
            [sys.executable, RELAY, self.url.rsplit(":", 1)[1], str(DELAY_MS)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, preexec_fn=die_with_parent)
        port = self.relay.stdout.readline().strip()
        if not port.isdigit():
            subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True)
            raise BenchError("the relay did not start")
        self.relay_url = "https://127.0.0.1:" + port

    def relay_counts(self):
        """Bytes up, bytes down and connections since the last call."""
        self.relay.stdin.write("count\nreset\n")
        self.relay.stdin.flush()
        up, down, connections = (int(v) for v in self.relay.stdout.readline().split())
        self.relay.stdout.readline()
        return up, down, connections

    def body_bytes(self, path):
        """$body_bytes_sent of the last request for `path` in the access log."""
        sent = None
        with open(os.path.join(self.state, "access.log"), encoding="utf-8",
                  errors="replace") as f:
            for line in f:
                match = re.search(r'"GET (\S+) [^"]*" (\d+) (\d+)', line)
                if match and match.group(1) == path:
                    sent = int(match.group(3))
        return sent

    def stop(self):
        if self.relay.poll() is None:
            self.relay.stdin.close()
            self.relay.wait()
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True)


class Bench:
    def __init__(self, build, work):
        self.build = build
        self.work = work
        self.kanade = os.path.join(build, "kanade")
        self.repo_tool = os.path.join(build, "tools", "kanade-repo")
        self.secret = os.environ.get("KANADE_SECRET_KEY") or os.path.join(
            build, "test-keys", "publisher")
        self.files = os.path.join(work, "files")
        self.runs = int(os.environ.get("KANADE_BENCH_RUNS", "3"))
        self.scaling_runs = int(os.environ.get("KANADE_BENCH_SCALING_RUNS", "1"))
        self.narrow_runs = int(os.environ.get("KANADE_BENCH_NARROW_RUNS", "1"))
        self.large_mib = int(os.environ.get("KANADE_BENCH_LARGE_MIB", "512"))
        counts = os.environ.get("KANADE_BENCH_SCALING_COUNTS", "100,300,1000,3000")
        self.counts = [int(c) for c in counts.split(",")]
        only = os.environ.get("KANADE_BENCH_ONLY", "")
        self.sections = [s for s in only.split(",") if s] or list(DEFAULT_SECTIONS)
        for s in self.sections:
            if s not in SECTIONS:
                raise BenchError(f"unknown section {s} (known: {', '.join(SECTIONS)})")
        if not os.path.isfile(self.secret):
            raise BenchError(f"no publisher secret key at {self.secret} (set KANADE_SECRET_KEY)")
        self.rows = []
        self.servers = {}
        self.boxes = 0
        self.xvfb = None

    def row(self, section, figure, value, goal="", met=""):
        self.rows.append((section, figure, value, goal, met))

    # --- publishing ---------------------------------------------------------

    def publish(self, server, folder, name, base, listed=None):
        """Signs the repository `name` listing the files below files/`listed`
        (default: `folder`) at `base`/files/`folder`, and serves it from
        `server`."""
        run(self.repo_tool, "build", os.path.join(self.files, listed or folder),
            f"{base}/files/{folder}",
            "-o", os.path.join(server.www, "repos", name + ".repo"), "--key", self.secret,
            "--name", name)

    def serve_translation(self, server, folder, base=None, listed=None):
        self.publish(server, folder, "kanade-test", base or server.relay_url, listed)

    def prepare_files(self):
        log("writing the modules")
        f = self.files
        os.makedirs(os.path.join(f, "empty"), exist_ok=True)
        os.makedirs(os.path.join(f, "own"), exist_ok=True)
        shutil.copy2(self.kanade, os.path.join(f, "own", "kanade"))
        if {"latency", "current", "wine"} & set(self.sections):
            write_modules(os.path.join(f, "latency"), 300, 8192, 1)
        if "loopback" in self.sections:
            write_modules(os.path.join(f, "loopback"), 3000, 4096, 2)
        if "scaling" in self.sections:
            for count in self.counts:
                write_modules(os.path.join(f, f"n{count}"), count, 4096, 3)
        if "narrow" in self.sections:
            for count, _ in NARROW_LINES:
                write_modules(os.path.join(f, f"narrow{count}"), count, 8192, 4)
        if "compression" in self.sections:
            for kind in ("gz", "plain"):
                os.makedirs(os.path.join(f, "text-" + kind), exist_ok=True)
            write_text(os.path.join(f, "text-plain", "table.txt"), 20 << 20)
            shutil.copy2(os.path.join(f, "text-plain", "table.txt"),
                         os.path.join(f, "text-gz", "table.txt"))
            run("gzip", "-k", "-9", os.path.join(f, "text-gz", "table.txt"))
        if "large" in self.sections:
            os.makedirs(os.path.join(f, "large"), exist_ok=True)
            with open(os.path.join(f, "large", "large.bin"), "wb") as out:
                for _ in range(self.large_mib):
                    out.write(os.urandom(1 << 20))

    def start_servers(self):
        log("starting nginx (HTTP/2 and HTTP/1.1 only) and the relays")
        for name, http2 in (("h2", True), ("h1", False)):
            server = Server(self.work, name, http2)
            self.servers[name] = server
            self.publish(server, "own", "kanade-patcher-linux", server.relay_url)
            for repo in TRANSLATION_REPOS:
                self.publish(server, "empty", repo, server.relay_url)

    # --- the real program ---------------------------------------------------

    def new_box(self):
        """A program folder that has run before (its own build is current)
        and an empty game folder."""
        self.boxes += 1
        path = os.path.join(self.work, "boxes", str(self.boxes))
        program, game = os.path.join(path, "program"), os.path.join(path, "game")
        os.makedirs(program)
        os.makedirs(game)
        shutil.copy2(self.kanade, os.path.join(program, "kanade"))
        os.link(os.path.join(program, "kanade"), os.path.join(program, "upgrade_kanade"))
        open(os.path.join(game, GAME_EXE), "wb").close()
        with open(os.path.join(program, "kanade.ini"), "w", encoding="utf-8") as f:
            f.write(INI.format(game=game))
        return path

    def run_kanade(self, box, base_url, ca, timeout=600, wine=None):
        """Runs the program until its closing message; returns the log lines
        of this run with the seconds since process start at which they
        appeared, and the program's peak resident memory (VmHWM, KiB).
        `wine` (an environment) runs kanade.exe under Wine instead."""
        program = os.path.join(box, "program")
        log_path = os.path.join(program, "kanade.log")
        offset = os.path.getsize(log_path) if os.path.exists(log_path) else 0
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        env.update(DISPLAY=self.xvfb.display, HOME=box, KANADE_REPOSITORY_URL=base_url,
                   CURL_CA_BUNDLE=ca)
        env.update(wine or {})
        if wine and os.environ.get("KANADE_BENCH_WINEDEBUG"):
            env["WINEDEBUG"] = os.environ["KANADE_BENCH_WINEDEBUG"]
        command = ["wine", "kanade.exe"] if wine else ["./kanade"]
        lines, pending, logfile, hwm = [], b"", None, None
        with open(os.path.join(box, "kanade.out"), "ab") as out:
            start = time.perf_counter()
            proc = subprocess.Popen(command, cwd=program, env=env, stdout=out,
                                    stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        try:
            while True:
                now = time.perf_counter() - start
                if logfile is None and os.path.exists(log_path):
                    logfile = open(log_path, "rb")
                    logfile.seek(offset)
                data = logfile.read() if logfile else b""
                if data:
                    parts = (pending + data).split(b"\r\n")
                    pending = parts.pop()
                    lines += [(now, p.decode("utf-8", "replace")) for p in parts]
                    if any(text.startswith(FINISHED) for _, text in lines[-len(parts):]):
                        break
                if proc.poll() is not None:
                    raise BenchError(f"kanade ended early (see {box})")
                if now > timeout:
                    raise BenchError(f"kanade did not finish within {timeout} s (see {box})")
                time.sleep(0.002)
            if not wine:
                with open(f"/proc/{proc.pid}/status") as f:
                    match = re.search(r"VmHWM:\s+(\d+) kB", f.read())
                    hwm = int(match.group(1)) if match else None
        finally:
            proc.kill()
            proc.wait()
            if wine:
                subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
            if logfile:
                logfile.close()
        # Kept with the work folder: when each line appeared.
        timed_log = os.path.join(self.work, "timed-logs", f"{os.path.basename(box)}.log")
        os.makedirs(os.path.dirname(timed_log), exist_ok=True)
        with open(timed_log, "a", encoding="utf-8") as f:
            f.writelines(f"{seconds:8.3f} {text}\n" for seconds, text in lines)
            f.write(f"VmHWM {hwm} kB\n\n")
        if wine and os.environ.get("KANADE_BENCH_WINEDEBUG"):
            shutil.copy(os.path.join(box, "kanade.out"), timed_log + ".out")
        if lines[-1][1] != READY:
            raise BenchError(f"the run failed: {lines[-1][1]} (see {box})")
        return Run(lines, hwm)

    # --- curl ---------------------------------------------------------------

    def curl_config(self, name, folder, base):
        """A curl config that fetches every file below files/`folder` from
        `base` into a folder of its own."""
        path = os.path.join(self.work, name + ".cfg")
        out = os.path.join(self.work, "curl-out")
        root = os.path.join(self.files, folder)
        with open(path, "w") as f:
            for parent, _, names in sorted(os.walk(root)):
                for n in sorted(names):
                    relative = os.path.relpath(os.path.join(parent, n), root)
                    f.write(f'url = "{base}/files/{folder}/{relative}"\n'
                            f'output = "{out}/{relative}"\n')
        return path

    def curl(self, config, ca, *options):
        out = os.path.join(self.work, "curl-out")
        shutil.rmtree(out, ignore_errors=True)
        seconds = timed("curl", "-sS", "--no-progress-meter", "--fail", "--create-dirs",
                        "--cacert", ca, *options, "-K", config)
        shutil.rmtree(out, ignore_errors=True)
        return seconds

    # --- the benchmarks -----------------------------------------------------

    def latency_and_current(self):
        for name, label, option in (("h2", "HTTP/2", "--http2"), ("h1", "HTTP/1.1", "--http1.1")):
            server = self.servers[name]
            self.serve_translation(server, "latency")
            config = self.curl_config("latency-" + name, "latency", server.relay_url)
            repos = [f"{server.relay_url}/repos/{r}.repo"
                     for r in ("kanade-patcher-linux",) + TRANSLATION_REPOS]
            serial = ["curl", "-sS", "--fail", "--cacert", server.ca, option]
            for url in repos:
                serial += ["-o", "/dev/null", url]
            together = serial[:5] + ["-Z"] + serial[5:]
            kanade, curl, curl_wide, current, curl_serial = Stat(), Stat(), Stat(), Stat(), Stat()
            curl_together = Stat()
            kanade_work, current_work = Stat(), Stat()
            # Five alternated pairs at least: the ratio's goal is tight.
            runs = max(5, self.runs)
            for i in range(runs):
                log(f"latency {label}: run {i + 1} of {runs}")
                box = self.new_box()
                first = self.run_kanade(box, server.relay_url, server.ca)
                first.expect_installed(300, box)
                kanade.add(first.ready)
                kanade_work.add(first.repository_work())
                curl.add(self.curl(config, server.ca, option, "-Z", "--parallel-max", "8"))
                curl_wide.add(self.curl(config, server.ca, option, "-Z", "--parallel-max", "100"))
                second = self.run_kanade(box, server.relay_url, server.ca)
                second.expect_installed(0, box)
                current.add(second.ready)
                current_work.add(second.repository_work())
                curl_serial.add(timed(*serial))
                curl_together.add(timed(*together))
                shutil.rmtree(box)
            if "latency" in self.sections:
                self.row("latency", f"{label}: kanade, start to ready (300 x 8 KiB)", str(kanade))
                self.row("latency", "  of which fetching and applying repositories",
                         f"{kanade_work}; the rest {kanade.median - kanade_work.median:.3f} s")
                self.row("latency", f"{label}: curl -Z --parallel-max 8, same URLs", str(curl))
                self.row("latency", f"{label}: curl -Z --parallel-max 100, same URLs",
                         str(curl_wide))
                # The goals are HTTP/2's: over HTTP/1.1 the program keeps to eight
                # connections, where curl x100 opens a hundred.
                h2 = name == "h2"
                self.row("latency", f"{label}: ratio kanade/curl x8", ratio(kanade, curl),
                         "<= 0.5" if h2 else "", verdict(kanade.median / curl.median, 0.5))
                self.row("latency", f"{label}: ratio kanade/curl x100", ratio(kanade, curl_wide),
                         "<= 1.2" if h2 else "", verdict(kanade.median / curl_wide.median, 1.2))
                # TLS, the repository files together, then every module at once.
                self.row("latency", f"{label}: physical floor", floor(3, 300 * 8192))
            if "current" in self.sections:
                self.row("current", f"{label}: kanade, everything current", str(current))
                self.row("current", "  of which fetching and applying repositories",
                         f"{current_work}; the rest {current.median - current_work.median:.3f} s")
                self.row("current", f"{label}: curl, 5 repository files in turn", str(curl_serial))
                self.row("current", f"{label}: curl -Z, 5 repository files together",
                         str(curl_together))
                self.row("current", f"{label}: ratio kanade/curl -Z", ratio(current, curl_together),
                         "<= 1.3", verdict(current.median / curl_together.median, 1.3))
                self.row("current", f"{label}: physical floor", floor(2, 0))

    def loopback(self):
        server = self.servers["h2"]
        self.publish(server, "loopback", "bench-modules", server.url)
        env = dict(os.environ, CURL_CA_BUNDLE=server.ca)
        # On the work folder's disk, and in memory where the file system's
        # own costs and moods (ext4 after mass deletions) stay out.
        places = [("disk", os.path.join(self.work, "loopback"))]
        if os.path.isdir("/dev/shm"):
            places.append(("tmpfs", os.path.join("/dev/shm", os.path.basename(self.work))))
        # A run takes about a second and the spread is wide: three times as many.
        runs = 3 * self.runs
        for place, folder in places:
            log(f"loopback ({place}): bench_module_apply, {runs} runs")
            try:
                out = run(os.path.join(self.build, "bench", "bench_module_apply"),
                          server.url + "/repos/bench-modules.repo", folder, str(runs), env=env)
            finally:
                shutil.rmtree(folder, ignore_errors=True)
            figures = parse_figures(out, runs)
            apply, parallel = figures["apply_empty"], figures["curl_parallel"]
            serial = figures["curl_serial"]
            self.row("loopback", f"{place}: engine, 3,000 x 4 KiB into an empty folder", str(apply))
            self.row("loopback", f"{place}: curl -Z --parallel-max 8 (one process)", str(parallel))
            self.row("loopback", f"{place}: curl, one after another (one process)", str(serial))
            # On ext4 both sides swing by up to three times with what was
            # deleted shortly before (here or by anyone on the machine): the
            # goal is judged in memory.
            if place == "tmpfs":
                self.row("loopback", f"{place}: ratio engine/curl -Z", ratio(apply, parallel),
                         "<= 1.2", verdict(apply.median / parallel.median, 1.2))
            else:
                self.row("loopback", f"{place}: ratio engine/curl -Z (noisy)",
                         ratio(apply, parallel))
            self.row("loopback", f"{place}: ratio engine/curl one after another",
                     ratio(apply, serial))
            # Processor time: what the work costs the player's machine,
            # whatever the disk and the scheduler make of the wall time.
            cpu, curl_cpu = figures["apply_cpu"], figures["curl_wide_cpu"]
            self.row("loopback", f"{place}: engine, CPU seconds (user + system)",
                     f"{cpu.median:.3f} s (best {cpu.best:.3f})")
            self.row("loopback", f"{place}: curl -Z --parallel-max 100, CPU seconds",
                     f"{curl_cpu.median:.3f} s (best {curl_cpu.best:.3f})")
            self.row("loopback", f"{place}: ratio engine/curl x100, CPU", ratio(cpu, curl_cpu),
                     "<= 1.5", verdict(cpu.median / curl_cpu.median, 1.5))
            current, check = figures["apply_current"], figures["sha256sum"]
            self.row("loopback", f"{place}: engine, everything current", str(current))
            self.row("loopback", f"{place}: sha256sum -c, same files", str(check))
            self.row("loopback", f"{place}: ratio engine/sha256sum", ratio(current, check))

    def large(self):
        server = self.servers["h2"]
        mib = self.large_mib
        self.publish(server, "large", "bench-large", server.url)
        log(f"large: bench_large_module, {self.runs} runs")
        env = dict(os.environ, CURL_CA_BUNDLE=server.ca)
        out = run(os.path.join(self.build, "bench", "bench_large_module"),
                  server.url + "/repos/bench-large.repo", os.path.join(self.work, "large"),
                  str(self.runs), env=env)
        figures = parse_figures(out, self.runs)
        # The real program, from the module's line to its success.
        self.serve_translation(server, "large", server.url)
        url = f"{server.url}/files/large/large.bin"
        target = os.path.join(self.work, "curl-large.bin")
        kanade, reference, hwm = Stat(), Stat(), []
        for i in range(self.runs):
            log(f"large: kanade, run {i + 1} of {self.runs}")
            box = self.new_box()
            result = self.run_kanade(box, server.url, server.ca)
            result.expect_installed(1, box)
            kanade.add(result.between(module_started, module_installed))
            hwm.append(result.hwm)
            shutil.rmtree(box)
            reference.add(timed("bash", "-c", 'curl -sS --fail --cacert "$1" -o "$2" "$3" && '
                                'openssl dgst -sha256 "$2" >/dev/null', "curl",
                                server.ca, target, url))
            os.remove(target)
        engine, engine_reference = figures["apply"], figures["curl_openssl"]
        self.row("large", f"kanade, {mib} MiB module, its line to success", str(kanade))
        self.row("large", "curl -o FILE; openssl dgst -sha256 FILE", str(reference))
        self.row("large", "ratio kanade/curl+openssl", ratio(kanade, reference), "<= 1.1",
                 verdict(kanade.median / reference.median, 1.1))
        self.row("large", "kanade peak memory (VmHWM, whole process)",
                 f"{max(hwm) / 1024:.1f} MiB (largest of {len(hwm)} runs)", "<= 96 MiB",
                 verdict(max(hwm) / 1024, 96))
        self.row("large", "engine alone (bench_large_module), apply", str(engine))
        self.row("large", "  curl -o FILE; openssl dgst, same run", str(engine_reference))
        self.row("large", "  ratio engine/curl+openssl", ratio(engine, engine_reference),
                 "<= 1.1", verdict(engine.median / engine_reference.median, 1.1))
        self.row("large", "  engine peak memory (VmHWM, bench process)",
                 f"{figures['peak_rss_kib'].best / 1024:.1f} MiB "
                 f"(before the applies {figures['peak_rss_kib_before'].best / 1024:.1f})",
                 "<= 96 MiB", verdict(figures["peak_rss_kib"].best / 1024, 96))

    def compression(self):
        server = self.servers["h2"]
        times = {"gz": Stat(), "plain": Stat()}
        wire, body = {}, {}
        for i in range(self.runs):
            for kind in ("gz", "plain"):
                log(f"compression: {kind}, run {i + 1} of {self.runs}")
                # Listed from the plain folder: the .gz is no module of its own.
                self.serve_translation(server, "text-" + kind, listed="text-plain")
                box = self.new_box()
                server.relay_counts()
                result = self.run_kanade(box, server.relay_url, server.ca)
                result.expect_installed(1, box)
                wire[kind] = server.relay_counts()[1]
                body[kind] = server.body_bytes(f"/files/text-{kind}/table.txt")
                times[kind].add(result.between(module_started, module_installed))
                shutil.rmtree(box)
        size = os.path.getsize(os.path.join(self.files, "text-plain", "table.txt"))
        for kind, label in (("gz", "gzip_static (.gz beside)"), ("plain", "uncompressed")):
            self.row("compression", f"{size >> 20} MiB text, {label}: module body sent",
                     f"{body[kind]:,} bytes (nginx $body_bytes_sent)")
            self.row("compression", "  whole run on the wire, server to kanade",
                     f"{wire[kind]:,} bytes (relay count)")
            self.row("compression", "  its line to success, across the relay", str(times[kind]))
        self.row("compression", "bytes on the wire, gzip/uncompressed",
                 f"{body['gz'] / body['plain']:.3f}")
        # The relay does not limit bandwidth, where compression pays off.
        self.row("compression", "  the body's bytes at 50 Mbit/s (computed)",
                 f"{body['gz'] * 8 / 50e6:.2f} s / {body['plain'] * 8 / 50e6:.2f} s")
        self.row("compression", "time, gzip/uncompressed", ratio(times["gz"], times["plain"]))

    def scaling(self):
        server = self.servers["h2"]
        for count in self.counts:
            self.serve_translation(server, f"n{count}")
            config = self.curl_config(f"n{count}", f"n{count}", server.relay_url)
            ready, phase, curl8, curl_wide, hwm = Stat(), Stat(), Stat(), Stat(), []
            for i in range(self.scaling_runs):
                log(f"scaling: {count} modules, run {i + 1} of {self.scaling_runs}")
                box = self.new_box()
                result = self.run_kanade(box, server.relay_url, server.ca)
                result.expect_installed(count, box)
                ready.add(result.ready)
                hwm.append(result.hwm)
                phase.add(result.between(lambda t: t == APPLY_START, lambda t: t == APPLY_END))
                shutil.rmtree(box)
                curl8.add(self.curl(config, server.ca, "--http2", "-Z", "--parallel-max", "8"))
                curl_wide.add(self.curl(config, server.ca, "--http2", "-Z", "--parallel-max",
                                        "100"))
            serial = count * RTT
            closer = abs(phase.median - curl_wide.median) < abs(serial - phase.median)
            self.row("scaling", f"{count} x 4 KiB: kanade start to ready", str(ready))
            per_module = phase.median / count * 1000
            self.row("scaling", "  applying kanade-test.repo",
                     f"{phase}; {per_module:.1f} ms a module", "<= 2 ms",
                     verdict(per_module, 2))
            self.row("scaling", "  peak memory (VmHWM, whole process)",
                     f"{max(hwm) / 1024:.1f} MiB", "<= 64 MiB", verdict(max(hwm) / 1024, 64))
            self.row("scaling", "  physical floor", floor(3, count * 4096))
            self.row("scaling", "  curl -Z --parallel-max 8 / 100 (HTTP/2)",
                     f"{curl8.median:.3f} s / {curl_wide.median:.3f} s")
            self.row("scaling", "  count x RTT", f"{serial:.1f} s; {RTT * 1000:.0f} ms a module",
                     "closer to curl x100", "met" if closer else "NOT met")

    def narrow(self):
        server = self.servers["h2"]
        for count, rate in NARROW_LINES:
            relay = subprocess.Popen(
                [sys.executable, RELAY, server.url.rsplit(":", 1)[1], str(NARROW_DELAY_MS),
                 "--rate", str(rate), "--queue", str(NARROW_QUEUE_S)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                preexec_fn=die_with_parent)
            try:
                port = relay.stdout.readline().strip()
                if not port.isdigit():
                    raise BenchError("the narrow line's relay did not start")
                base = "https://127.0.0.1:" + port
                folder = f"narrow{count}"
                for repo in ("kanade-patcher-linux",) + TRANSLATION_REPOS:
                    listed = folder if repo == "kanade-test" else "own" if "patcher" in repo \
                        else "empty"
                    self.publish(server, listed, repo, base)
                config = self.curl_config(folder, folder, base)
                kanade, curl = Stat(), Stat()
                for i in range(self.narrow_runs):
                    log(f"narrow {rate:,} B/s: {count} modules, run {i + 1} of {self.narrow_runs}")
                    box = self.new_box()
                    result = self.run_kanade(box, base, server.ca)
                    result.expect_installed(count, box)
                    kanade.add(result.ready)
                    shutil.rmtree(box)
                    curl.add(self.curl(config, server.ca, "--http2", "-Z", "--parallel-max", "100"))
            finally:
                relay.stdin.close()
                relay.wait()
                for repo in ("kanade-patcher-linux",) + TRANSLATION_REPOS:
                    self.publish(server, "own" if "patcher" in repo else "empty", repo,
                                 server.relay_url)
            line = f"{count} x 8 KiB at {rate:,} B/s"
            self.row("narrow", f"{line}: kanade, start to ready, all installed, green", str(kanade))
            self.row("narrow", f"{line}: curl -Z --parallel-max 100 (HTTP/2)", str(curl))
            self.row("narrow", f"{line}: ratio kanade/curl x100", ratio(kanade, curl), "<= 1.3",
                     verdict(kanade.median / curl.median, 1.3))
            seconds = count * 8192 / rate + 3 * 2 * NARROW_DELAY_MS / 1000
            self.row("narrow", f"{line}: physical floor",
                     f"{seconds:.1f} s (3 round trips + {count * 8192:,} bytes at the line's rate)")

    def wine(self):
        exe = os.environ.get("KANADE_BENCH_EXE") or os.path.join(SOURCE_DIR, "build-win",
                                                                 "kanade.exe")
        if not os.path.isfile(exe):
            raise BenchError(f"no {exe} (bash scripts/build-windows.sh builds it)")
        server = self.servers["h2"]
        # Wine's Schannel matches no IP address against the certificate: by name.
        base = server.relay_url.replace("127.0.0.1", "localhost")
        os.makedirs(os.path.join(self.files, "own-win"), exist_ok=True)
        shutil.copy2(exe, os.path.join(self.files, "own-win", "kanade.exe"))
        self.publish(server, "own-win", "kanade-patcher-win", base)
        self.serve_translation(server, "latency", base)
        log("wine: making a prefix")
        prefix = os.path.join(self.work, "wine", "prefix")
        wine = dict(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
                    WINEDLLOVERRIDES="mscoree,mshtml=", CURL_CA_BUNDLE="C:\\ca.pem")
        run("bash", os.path.join(SOURCE_DIR, "tests", "e2e", "wine_prefix.sh"), prefix,
            env=dict(os.environ, DISPLAY=self.xvfb.display))
        shutil.copy2(server.ca, os.path.join(prefix, "drive_c", "ca.pem"))
        windows, linux = Stat(), Stat()
        windows_phase, linux_phase = Stat(), Stat()
        log_path = os.path.join(server.state, "access.log")
        for i in range(self.runs):
            log(f"wine: run {i + 1} of {self.runs}")
            box = self.new_box()
            program, game = os.path.join(box, "program"), os.path.join(box, "game")
            shutil.copy2(exe, os.path.join(program, "kanade.exe"))
            os.link(os.path.join(program, "kanade.exe"), os.path.join(program, "upgrade_kanade.exe"))
            with open(os.path.join(program, "kanade.ini"), "w", encoding="utf-8") as f:
                f.write(INI.format(game="Z:" + game.replace("/", "\\")))
            before = os.path.getsize(log_path)
            result = self.run_kanade(box, base, server.ca, wine=wine)
            result.expect_installed(300, box)
            windows.add(result.ready)
            windows_phase.add(result.between(lambda t: t == APPLY_START, lambda t: t == READY))
            with open(log_path, errors="replace") as f:
                f.seek(before)
                protocols = set(re.findall(r'"GET /files/\S+ (HTTP/[\d.]+)"', f.read()))
            if protocols != {"HTTP/2.0"}:
                raise BenchError(f"kanade.exe fetched its modules over {sorted(protocols)}")
            shutil.rmtree(box)
            box = self.new_box()
            result = self.run_kanade(box, base, server.ca)
            result.expect_installed(300, box)
            linux.add(result.ready)
            linux_phase.add(result.between(lambda t: t == APPLY_START, lambda t: t == READY))
            shutil.rmtree(box)
        # The module phase: from the apply line, whose requests go out at
        # once, to the ready line; Wine's own start-up is outside it.
        self.row("wine", "kanade.exe under Wine, modules (apply to ready, 300 x 8 KiB)",
                 str(windows_phase))
        self.row("wine", "kanade (Linux), the same span", str(linux_phase))
        self.row("wine", "  ratio kanade.exe/kanade, modules", ratio(windows_phase, linux_phase),
                 "<= 1.5", verdict(windows_phase.median / linux_phase.median, 1.5))
        self.row("wine", "kanade.exe under Wine, start to ready", str(windows))
        self.row("wine", "kanade (Linux), same relay, same runs", str(linux))
        self.row("wine", "  ratio kanade.exe/kanade, whole run (Wine's start-up included)",
                 ratio(windows, linux), "<= 2.5", verdict(windows.median / linux.median, 2.5))
        self.row("wine", "  physical floor", floor(3, 300 * 8192))

    def table(self):
        width = max(len(r[1]) for r in self.rows) + 2
        value_width = max(len(r[2]) for r in self.rows) + 2
        section = None
        self.rows.sort(key=lambda r: SECTIONS.index(r[0]))  # stable: runs keep their order
        print()
        print(f"Network benchmarks (relay: {DELAY_MS} ms each way, {RTT * 1000:.0f} ms round trip; "
              f"median of the runs, best in brackets; ratios are median/median)")
        for sec, figure, value, goal, met in self.rows:
            if sec != section:
                print(f"\n[{sec}]")
                section = sec
            goal_text = f"goal {goal}: {met}" if goal else ""
            print(f"  {figure:<{width}}{value:<{value_width}}{goal_text}")
        print(flush=True)

    def main(self):
        self.xvfb = Xvfb()
        try:
            self.prepare_files()
            self.start_servers()
            if "latency" in self.sections or "current" in self.sections:
                self.latency_and_current()
            for section in ("loopback", "large", "compression", "scaling", "narrow", "wine"):
                if section in self.sections:
                    getattr(self, section)()
        finally:
            for server in self.servers.values():
                server.stop()
            self.xvfb.stop()
        self.table()


class Run:
    def __init__(self, lines, hwm):
        self.lines = lines
        self.hwm = hwm
        self.ready = lines[-1][0]

    def between(self, start, end):
        """Seconds from the first line that `start` accepts to the first
        later one that `end` accepts."""
        for i, (begin, text) in enumerate(self.lines):
            if start(text):
                for seconds, later in self.lines[i:]:
                    if end(later):
                        return seconds - begin
        raise BenchError("an expected log line is missing")

    def repository_work(self):
        """Seconds spent fetching and applying repositories: from each
        "> レポジトリ..." line to the next "< レポジトリ..." line."""
        total, begin = 0.0, None
        for seconds, text in self.lines:
            if text.startswith("> レポジトリ"):
                begin = seconds
            elif text.startswith("< レポジトリ") and begin is not None:
                total += seconds - begin
                begin = None
        return total

    def expect_installed(self, count, box):
        installed = sum(1 for _, t in self.lines if module_installed(t))
        if installed != count:
            raise BenchError(f"{installed} modules installed instead of {count} (see {box})")


def parse_figures(text, runs):
    """The "NAME MEDIAN BEST" and "NAME VALUE" lines of a bench program."""
    figures = {}
    for line in text.splitlines():
        name, *values = line.split()
        numbers = [float(v) for v in values]
        figures[name] = Stat(summary=(numbers[0], numbers[-1], runs if len(numbers) == 2 else 1))
    return figures


def main():
    if len(sys.argv) != 3:
        print("usage: network_bench.py BUILD_DIR WORK_DIR", file=sys.stderr)
        return 2
    try:
        Bench(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])).main()
    except (BenchError, OSError, ValueError, subprocess.SubprocessError) as error:
        print(f"bench-network: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
