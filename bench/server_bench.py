#!/usr/bin/python3
"""What one player's run costs the origin: nginx through the project's own
site template (scripts/repo-server.sh), a release published with
kanade-repo publish (three modes of 300 modules, the Lua and program
repositories), and h2load (nghttp2-client) as the players. Each h2load
client is one player: a new TLS connection over HTTP/2 that makes the
requests of one run, all at once as the patcher does.

  first run    the five repositories and the 300 bodies of one mode
  update       one module changed: its repository whole, the other four
               answered 304, and the one new body
  nothing new  the five repositories: plain (what the patcher fetched before
               the .gz copies and conditional requests), gzip, and asked with
               the validators of the copies it holds (304s)

Per case it prints players per second (h2load's own time; h2load shares
the machine with nginx), the bytes a player receives on the wire with TLS
(counted by a relay on a sample of players) and at the HTTP level (h2load),
the bytes it sends, and nginx's CPU time per thousand players (user and
system time of its workers). The conditional case sends one If-None-Match
listing the five ETags (each URL matches its own), since h2load sends the
same headers with every request; the 304s are what the patcher gets.
Through a cache, If-Modified-Since with the latest of their dates stands in
for them (see edge_cases).

With --edge, a run with nothing new goes straight to the origin and then
through each cache in front of it with the configuration the project ships:
the nginx edge (scripts/nginx-edge.conf.in), Varnish behind hitch
(scripts/varnish-edge.vcl.in, reaching the origin's plain HTTP listener)
and Squid (scripts/squid-edge.conf.in, HTTP/1.1 only, so h2load speaks that
to it); and a new player's first run through each once it holds the
bodies. It prints what reaches the origin per thousand players: requests
(its access log), bytes on the wire (the cache reaches it through a
counting relay) and CPU, and the cache's own CPU.

Usage: server_bench.py [--edge] BUILD_DIR WORK_DIR
Environment: KANADE_SECRET_KEY (default BUILD_DIR/test-keys/publisher),
KANADE_BENCH_RUNS (3), KANADE_BENCH_PLAYERS (2000 per h2load run),
KANADE_BENCH_FIRST_PLAYERS (100, for the first run),
KANADE_BENCH_SAMPLE_PLAYERS (50, through the counting relay),
KANADE_BENCH_CACHES (nginx,varnish,squid: the caches of --edge).
Not a test: it prints figures and never fails on them.
"""
import email.utils
import os
import random
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
from network_bench import BenchError, run, write_text  # noqa: E402
from x11 import die_with_parent  # noqa: E402

REPO_SERVER = os.path.join(SOURCE_DIR, "scripts", "repo-server.sh")
RELAY = os.path.join(HERE, "delay_relay.py")
MODES = ("kanade-test", "kanade-conv-test", "kanade-prefixed")
REPOSITORIES = ("kanade-patcher-linux",) + MODES + ("kanade-lua",)
MODULES = 300
GOAL_BYTES = 2048  # a run with nothing new, per player


def log(text):
    print("bench-server: " + text, file=sys.stderr, flush=True)


def write_tree(folder, mode, seed):
    """A translation tree of MODULES text files of 1 to 40 KB."""
    rng = random.Random(seed)
    base = os.path.join(folder, "Shroud of the Avatar_Data", "Translations")
    os.makedirs(base, exist_ok=True)
    for i in range(MODULES):
        path = os.path.join(base, f"ui_{i:03d}.txt")
        write_text(path, rng.randint(1 << 10, 40 << 10))
        with open(path, "ab") as f:
            f.write(f"\r\n# {mode} {i}\r\n".encode())
    with open(os.path.join(folder, "Language.txt"), "w") as f:
        f.write(mode + "\n")


def cpu_seconds(pid_files):
    """User and system time so far of the processes named in `pid_files`
    and their children (nginx's workers, Varnish's cache process, hitch's
    and Squid's workers)."""
    masters = set()
    for pid_file in pid_files:
        try:
            with open(pid_file) as f:
                masters.add(f.read().strip())
        except OSError:
            pass
    ticks = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] in masters or pid in masters:  # ppid
            ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


class Relay:
    """bench/delay_relay.py without delay in front of a port: it counts."""

    def __init__(self, port):
        self.process = subprocess.Popen(
            [sys.executable, RELAY, str(port), "0"], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True, preexec_fn=die_with_parent)
        self.port = self.process.stdout.readline().strip()
        if not self.port.isdigit():
            self.stop()
            raise BenchError("the relay did not start")

    def counts(self):
        """Bytes up, bytes down and connections since the last call."""
        self.process.stdin.write("count\nreset\n")
        self.process.stdin.flush()
        counts = [int(v) for v in self.process.stdout.readline().split()]
        self.process.stdout.readline()
        return counts

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait()


class Edge:
    """A cache (nginx, varnish or squid) in front of an origin, reaching it
    through the origin's counting relays."""

    def __init__(self, work, origin, kind):
        self.kind = kind
        self.state = os.path.join(work, "server-" + kind)
        env = dict(os.environ, KANADE_SERVER_WORKERS="auto", KANADE_SERVER_CONNECTIONS="8192",
                   KANADE_SERVER_LIFETIME="7200")
        if kind == "varnish":
            arguments = ["varnish", self.state, origin.plain_relay_url]
        else:
            arguments = ["edge" if kind == "nginx" else kind, self.state, origin.relay_url,
                         os.path.join(origin.state, "ca.pem")]
        self.url = run("bash", REPO_SERVER, *arguments, env=env).strip()

    def cpu_seconds(self):
        files = [os.path.join(self.state, name)
                 for name in ("nginx.pid", "varnishd.pid", "hitch.pid")]
        run_folder = os.path.join(self.state, "squid-run")
        if os.path.exists(run_folder):
            with open(run_folder) as f:
                files.append(os.path.join(f.read().strip(), "squid.pid"))
        return cpu_seconds(files)

    def stop(self):
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True)


class Origin:
    """nginx on the served folder, with a plain HTTP listener for Varnish,
    and relays in front of both that count bytes; its certificate's keys RSA
    2048 ("rsa") or ECDSA P-256 ("ec")."""

    def __init__(self, work, key):
        self.state = os.path.join(work, "server-" + key)
        self.www = os.path.join(work, "www")
        os.makedirs(self.www, exist_ok=True)
        env = dict(os.environ, KANADE_SERVER_WORKERS="auto", KANADE_SERVER_CONNECTIONS="8192",
                   KANADE_SERVER_LIFETIME="7200", KANADE_SERVER_KEY=key, KANADE_SERVER_PLAIN="1")
        self.url = run("bash", REPO_SERVER, "start", self.state, self.www, env=env).strip()
        with open(os.path.join(self.state, "plain-url")) as f:
            plain_port = f.read().strip().rsplit(":", 1)[1]
        self.relays = []
        try:
            self.relays.append(Relay(self.url.rsplit(":", 1)[1]))
            self.relays.append(Relay(plain_port))
        except BenchError:
            self.stop()
            raise
        self.relay_url = "https://127.0.0.1:" + self.relays[0].port
        self.plain_relay_url = "http://127.0.0.1:" + self.relays[1].port

    def relay_counts(self):
        """Bytes up, bytes down and connections since the last call, both
        relays together."""
        return [sum(values) for values in zip(*(relay.counts() for relay in self.relays))]

    def cpu_seconds(self):
        return cpu_seconds([os.path.join(self.state, "nginx.pid")])

    def requests_logged(self):
        with open(os.path.join(self.state, "access.log"), "rb") as f:
            return sum(1 for _ in f)

    def stop(self):
        for relay in self.relays:
            relay.stop()
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True)


class Bench:
    def __init__(self, build, work, edge=False):
        self.work = work
        self.repo_tool = os.path.join(build, "tools", "kanade-repo")
        self.secret = os.environ.get("KANADE_SECRET_KEY") or os.path.join(
            build, "test-keys", "publisher")
        if not os.path.isfile(self.secret):
            raise BenchError(f"no publisher secret key at {self.secret} (set KANADE_SECRET_KEY)")
        self.runs = int(os.environ.get("KANADE_BENCH_RUNS", "3"))
        self.players = int(os.environ.get("KANADE_BENCH_PLAYERS", "2000"))
        self.first_players = int(os.environ.get("KANADE_BENCH_FIRST_PLAYERS", "100"))
        self.sample = int(os.environ.get("KANADE_BENCH_SAMPLE_PLAYERS", "50"))
        self.origin = None  # RSA certificate, the usual one
        self.ec_origin = None  # ECDSA, the same folder
        self.rows = []
        self.edge_mode = edge
        self.edge = None
        self.edge_rows = []
        self.caches = os.environ.get("KANADE_BENCH_CACHES", "nginx,varnish,squid").split(",")

    def publish(self):
        trees = [f"{mode}={os.path.join(self.work, 'trees', mode)}" for mode in MODES]
        trees.append("kanade-lua=" + os.path.join(self.work, "trees", "kanade-lua"))
        # The server's folder is made empty; its first release is a new one.
        if not os.path.isdir(os.path.join(self.origin.www, "repos")):
            trees.append("--new")
        out = run(self.repo_tool, "publish", "--key", self.secret, "--out", self.origin.www,
                  "--base-url", self.origin.relay_url, *trees, "--linux", self.repo_tool)
        log(out.strip().splitlines()[-2])

    def repository_paths(self):
        return [f"/repos/{name}.repo" for name in REPOSITORIES]

    def body_paths(self, mode):
        """The paths of the bodies that `mode`'s repository lists."""
        with open(os.path.join(self.origin.www, "repos", mode + ".repo"), encoding="utf-8") as f:
            text = f.read()
        return [re.sub(r"^https://[^/]+", "", line.split("\t")[1])
                for line in text.splitlines() if line.startswith("module=")]

    def validators(self):
        """The ETag of each repository's gzip copy, as a player holding it
        would send them, and the latest Last-Modified among them."""
        tags, dates = [], []
        for path in self.repository_paths():
            headers = run("curl", "-sk", "--compressed", "-D", "-", "-o", "/dev/null",
                          self.origin.url + path)
            tag = re.search(r"^etag: (.+?)\r?$", headers, re.I | re.M)
            date = re.search(r"^last-modified: (.+?)\r?$", headers, re.I | re.M)
            if not tag or not date:
                raise BenchError(f"no ETag or Last-Modified for {path}")
            tags.append(tag.group(1))
            dates.append(email.utils.parsedate_to_datetime(date.group(1)))
        return tags, email.utils.format_datetime(max(dates), usegmt=True)

    def h2load(self, base, paths, players, headers, rate=None, h1=False):
        """`rate`: players who start each second (all at once without);
        `h1`: HTTP/1.1, each player's requests one after another on its
        connection."""
        command = ["h2load", "-c", str(players), "-n", str(players * len(paths)),
                   "-m", "1" if h1 else "100", "-t", "1"]
        if h1:
            command.append("--h1")
        if rate:
            command += ["-r", str(rate), "--rate-period", "1s"]
        for header in headers:
            command += ["-H", header]
        command += [base + p for p in paths]
        out = run(*command)
        finished = re.search(r"finished in ([\d.]+)(ms|s)", out)
        statuses = re.search(r"status codes: (\d+) 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx", out)
        traffic = re.search(r"traffic: .*?\((\d+)\) total", out)
        done = re.search(r"requests: \d+ total, \d+ started, (\d+) done, (\d+) succeeded", out)
        if not (finished and statuses and traffic and done):
            raise BenchError("cannot read h2load's output:\n" + out)
        seconds = float(finished.group(1)) / (1000 if finished.group(2) == "ms" else 1)
        if int(done.group(2)) != players * len(paths):
            raise BenchError(f"h2load: {done.group(2)} of {players * len(paths)} requests "
                             "succeeded:\n" + out)
        return seconds, [int(v) for v in statuses.groups()], int(traffic.group(1))

    def measure(self, name, paths, headers, players, expected_3xx, origin=None):
        origin = origin or self.origin
        log(f"{name}: {players} players x {len(paths)} requests, {self.runs} runs")
        rates, cpu, http_bytes = [], [], []
        for _ in range(self.runs):
            before = origin.cpu_seconds()
            seconds, statuses, traffic = self.h2load(origin.url, paths, players, headers)
            cpu.append((origin.cpu_seconds() - before) * 1000 / players * 1000)
            rates.append(players / seconds)
            http_bytes.append(traffic / players)
            if statuses[1] != expected_3xx * players or statuses[2] or statuses[3]:
                raise BenchError(f"{name}: status codes {statuses}, expected "
                                 f"{expected_3xx} 304s a player")
        origin.relay_counts()
        self.h2load(origin.relay_url, paths, self.sample, headers)
        up, down, connections = origin.relay_counts()
        if connections != self.sample:
            raise BenchError(f"{name}: {connections} connections for {self.sample} players")
        self.rows.append((name, len(paths), statistics.median(rates), down / self.sample,
                          statistics.median(http_bytes), up / self.sample,
                          statistics.median(cpu)))

    def measure_edge(self, name, paths, headers, players, expected_3xx, rate=None):
        """Players through the edge; what reaches the origin is counted whole
        (its access log, and the relay the edge reaches it through)."""
        log(f"{name}: {players} players x {len(paths)} requests, {self.runs} runs")
        figures = []
        for _ in range(self.runs):
            self.origin.relay_counts()
            logged = self.origin.requests_logged()
            cpu = (self.edge.cpu_seconds(), self.origin.cpu_seconds())
            seconds, statuses, _ = self.h2load(self.edge.url, paths, players, headers, rate,
                                               h1=self.edge.kind == "squid")
            _, down, _ = self.origin.relay_counts()
            if statuses[1] != expected_3xx * players or statuses[2] or statuses[3]:
                raise BenchError(f"{name}: status codes {statuses}, expected "
                                 f"{expected_3xx} 304s a player")
            per_thousand = 1000 / players
            figures.append((players / seconds,
                            (self.origin.requests_logged() - logged) * per_thousand,
                            (self.origin.requests_logged() - logged) / seconds,
                            down * per_thousand,
                            (self.origin.cpu_seconds() - cpu[1]) * 1000 * per_thousand,
                            (self.edge.cpu_seconds() - cpu[0]) * 1000 * per_thousand))
        self.edge_rows.append((name,) + tuple(statistics.median(f[i] for f in figures)
                                              for i in range(6)))

    def edge_cases(self, repos, gzip, validators, since):
        """A run with nothing new straight to the origin, then through each
        cache, which the first batch of players fills. Players ask a cache
        with If-Modified-Since alone: Varnish matches If-None-Match against
        one ETag only, not h2load's list of five, and Squid decides by the
        date (the cache asks the origin with its own validators either way)."""
        self.measure("nothing new: conditional (304)", repos, [gzip, validators], self.players, 5)
        name, _, rate, wire, _, _, cpu = self.rows[-1]
        self.edge_rows.append(("nothing new, straight to the origin", rate, 5000,
                               5 * rate, wire * 1000, cpu, None))
        bodies = self.body_paths("kanade-test")
        for kind in self.caches:
            self.edge = Edge(self.work, self.origin, kind)
            h1 = kind == "squid"
            try:
                self.h2load(self.edge.url, repos, 10, [gzip], h1=h1)
                self.measure_edge(f"nothing new, through {kind}", repos, [gzip, since],
                                  self.players, 5)
                # Spread over time, the cache asks the origin again as its copies age.
                rate = max(self.players // 10, 1)
                self.measure_edge(f"  the same, {rate} players a second", repos,
                                  [gzip, since], self.players, 5, rate)
                self.h2load(self.edge.url, repos + bodies, 1, [gzip], h1=h1)
                self.measure_edge(f"first run, through the filled {kind}", repos + bodies,
                                  [gzip], self.first_players, 0)
            finally:
                self.edge.stop()

    def print_edge_table(self):
        print()
        print(f"Origin: nginx {self.nginx_version()} through scripts/nginx-site.conf.in; caches: "
              f"{', '.join(self.caches)} with the project's configurations in front of it, on "
              f"the same {os.cpu_count()} cores with h2load; over TLS, one new connection a "
              "player (HTTP/2, HTTP/1.1 to Squid); RSA 2048 keys.")
        print(f"Players per h2load run: {self.players} ({self.first_players} for the first run); "
              f"medians of {self.runs} runs. At the origin: the requests in its access log and "
              "the bytes it sends on the wire (straight: from a sample of "
              f"{self.sample} players through a counting relay).")
        print()
        header = ("case", "players/s", "origin req", "origin req/s", "origin bytes",
                  "origin CPU ms", "cache CPU ms")
        print(f"{header[0]:<38} {header[1]:>9} {header[2]:>10} {header[3]:>12} {header[4]:>13} "
              f"{header[5]:>13} {header[6]:>11}")
        print(f"{'':<38} {'':>9} {'/1000':>10} {'':>12} {'/1000':>13} {'/1000':>13} "
              f"{'/1000':>11}")
        for name, rate, requests, per_second, wire, cpu, edge_cpu in self.edge_rows:
            edge_cpu = "-" if edge_cpu is None else f"{edge_cpu:,.0f}"
            print(f"{name:<38} {rate:>9,.0f} {requests:>10,.1f} {per_second:>12,.1f} "
                  f"{wire:>13,.0f} {cpu:>13,.0f} {edge_cpu:>11}")
        print("per 1000: per thousand players; origin bytes: origin to cache (or player), TLS "
              "included.")

    def run(self):
        log("writing three modes of 300 modules and the Lua module")
        for seed, mode in enumerate(MODES):
            write_tree(os.path.join(self.work, "trees", mode), mode, seed)
        lua = os.path.join(self.work, "trees", "kanade-lua", "Lua")
        os.makedirs(lua)
        with open(os.path.join(lua, "kanade.lua"), "w") as f:
            f.write("-- live translation (off)\n")
        try:
            self.origin = Origin(self.work, "rsa")
            if not self.edge_mode:
                self.ec_origin = Origin(self.work, "ec")
            self.publish()
            repos = self.repository_paths()
            gzip = "accept-encoding: gzip"
            held, since = self.validators()
            validators = "if-none-match: " + ", ".join(held)
            if self.edge_mode:
                self.edge_cases(repos, gzip, validators, "if-modified-since: " + since)
                return self.print_edge_table()
            bodies = self.body_paths("kanade-test")
            self.measure(f"first run (5 repositories, {len(bodies)} bodies)", repos + bodies,
                         [gzip], self.first_players, 0)
            self.measure("nothing new: full, plain (before)", repos, [], self.players, 0)
            self.measure("nothing new: full, gzip", repos, [gzip], self.players, 0)
            self.measure("nothing new: conditional (304)", repos, [gzip, validators],
                         self.players, 5)
            self.measure("  the same, ECDSA P-256 certificate", repos, [gzip, validators],
                         self.players, 5, self.ec_origin)
            # One module of kanade-test changes: a new body and a new repository.
            path = os.path.join(self.work, "trees", "kanade-test", "Shroud of the Avatar_Data",
                                "Translations", "ui_007.txt")
            with open(path, "ab") as f:
                f.write("# 更新\r\n".encode())
            old_bodies = set(self.body_paths("kanade-test"))
            self.publish()
            new_body = [p for p in self.body_paths("kanade-test") if p not in old_bodies]
            self.measure("update of one module (4 x 304, 2 x 200)", repos + new_body,
                         [gzip, validators], self.players, 4)
        finally:
            for origin in (self.origin, self.ec_origin):
                if origin:
                    origin.stop()
        self.print_table()

    def print_table(self):
        print()
        print(f"Origin: nginx {self.nginx_version()} through scripts/nginx-site.conf.in, "
              f"{os.cpu_count()} cores shared with h2load; HTTP/2 over TLS, one new connection "
              "a player; a certificate with RSA 2048 keys unless the case says.")
        print(f"Players per h2load run: {self.players} ({self.first_players} for the first run); "
              f"wire bytes from {self.sample} players through a counting relay; "
              f"medians of {self.runs} runs.")
        print()
        header = ("case", "requests", "players/s", "wire bytes", "HTTP bytes", "sent bytes",
                  "nginx CPU ms")
        print(f"{header[0]:<44} {header[1]:>8} {header[2]:>10} {header[3]:>11} "
              f"{header[4]:>11} {header[5]:>10} {header[6]:>12}")
        print(f"{'':<44} {'a player':>8} {'':>10} {'a player':>11} {'a player':>11} "
              f"{'a player':>10} {'/1000 players':>12}")
        for name, requests, rate, wire, http, sent, cpu in self.rows:
            print(f"{name:<44} {requests:>8} {rate:>10,.0f} {wire:>11,.0f} {http:>11,.0f} "
                  f"{sent:>10,.0f} {cpu:>12,.0f}")
        print()
        conditional = next(r for r in self.rows if "conditional" in r[0])
        ecdsa = next(r for r in self.rows if "ECDSA" in r[0])
        for label, value in (("at the HTTP level", conditional[4]),
                             ("on the wire, TLS included (RSA)", conditional[3]),
                             ("on the wire, TLS included (ECDSA)", ecdsa[3])):
            print(f"Goal: a run with nothing new under {GOAL_BYTES:,} bytes a player {label}: "
                  f"{value:,.0f} ({'met' if value < GOAL_BYTES else 'NOT met'})")
        print("wire bytes: server to player, TLS handshake and records included; HTTP bytes: "
              "what h2load decodes (frames, headers, bodies); sent bytes: player to server on "
              "the wire.")

    @staticmethod
    def nginx_version():
        done = subprocess.run(["/usr/sbin/nginx", "-v"], capture_output=True, text=True)
        return done.stderr.strip().rsplit("/", 1)[-1]


def main():
    arguments = sys.argv[1:]
    edge = arguments[:1] == ["--edge"]
    if edge:
        arguments.pop(0)
    if len(arguments) != 2:
        print("usage: server_bench.py [--edge] BUILD_DIR WORK_DIR", file=sys.stderr)
        return 2
    try:
        Bench(*arguments, edge=edge).run()
    except BenchError as error:
        print(f"bench-server: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
