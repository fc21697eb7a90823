#!/usr/bin/python3
"""The caches that publishers put in front of the origin, each with the
configuration the project ships: the nginx edge (scripts/nginx-edge.conf.in),
Varnish behind hitch (scripts/varnish-edge.vcl.in) and Squid
(scripts/squid-edge.conf.in), all on the loopback in front of the origin
(scripts/nginx-site.conf.in), started and stopped by scripts/repo-server.sh.
The same players go through each; the origin's access log is counted, and
the cache's own (varnishncsa for Varnish; Squid logs the bytes it sends
with the headers, so only its statuses count).

  variants     seven Accept-Encoding spellings, with and without a Via of
               the player's own, on a cold and then a warm cache: each gets
               exactly the bytes, encoding and validators that the origin
               gives it, and a 304 to its own validators only; the warm
               round reaches the origin only for 304s (with Squid's
               collapsed_forwarding on, each change of spelling fetched
               the file whole again)
  fill         a first player fills the cache; a second player's first run
               sends no body request to the origin
  nothing new  a 304 from the cache for every repository; the origin sees
               at most one conditional request a repository, answered 304
  release      published while the cache holds the old one: the next run
               gets it
  missing      a body asked for before it was uploaded (404) is served
               within a few seconds of its upload

  defaults     each cache as it comes, with only its origin set, fails a
               row in small: Varnish and nginx send every player's run to
               the origin whole (a no-cache answer is not stored, and the
               player's validators are dropped; nginx asks over HTTP/1.0,
               which gets the plain file), Squid fetches a body over 4 MB
               again for every player (and one that a player reloads). (Before the site's gzip_proxied,
               a default Squid also got the plain file for every player, as
               it adds Via, and Varnish kept for a year the plain body that
               a player with its own Via fetched first; before its 404s
               carried no-store, Varnish kept a miss for 120 s.)

Usage: edge_test.py KANADE KANADE_REPO
(KANADE_SECRET_KEY names the secret of the publisher key the build trusts;
KANADE_E2E_KEEP=DIR keeps the sandboxes and every server's logs there;
KANADE_EDGE_CACHES=nginx,varnish,squid picks caches.)
"""
import os
import re
import subprocess
import sys
import tempfile
import time

from e2e_common import REPO_SERVER, REPOSITORIES, check, main, start_display, write_files
from publish_test import TABLE, Client, Publisher, body_path, check_published, release

# The caches keep a repository for one second (nginx counts whole seconds):
# past this, they must ask the origin again.
STALE = 2.2
# How soon a body uploaded after a 404 must be served.
UPLOADED_WITHIN = 3.0
# A combined log line: path, status, bytes ("-" for none).
LOG_LINE = re.compile(r'"GET (/\S+) HTTP/[\d.]+" (\d+) (\d+|-)')
# A compressible body that no player fetches (kanade-conv-test's), cold for
# the variants.
COLD_TEXT = "Shroud of the Avatar_Data/Translations/ui.txt"
COLD_BYTES = "".join(f"{n}: ようこそ、アヴァタール\n" for n in range(3000)).encode()
PLAYER_VIA = "Via: 1.1 school-proxy"


class Server:
    """One server started by repo-server.sh, and what its access log holds."""

    def __init__(self, command, state, *arguments, env=None, body_bytes=True):
        self.state = state
        # Squid logs the bytes it sends with the headers; only statuses count.
        self.body_bytes = body_bytes
        env = dict(os.environ, KANADE_SERVER_LIFETIME="600", **(env or {}))
        started = subprocess.run(["bash", REPO_SERVER, command, state, *arguments], env=env,
                                 capture_output=True, text=True, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("repo-server.sh: " + started.stderr.strip())
        self.url = started.stdout.strip().splitlines()[-1]
        self.ca = os.path.join(state, "ca.pem")
        self.seen = len(self.log())

    def log(self):
        try:
            with open(os.path.join(self.state, "access.log"), encoding="utf-8") as f:
                return LOG_LINE.findall(f.read())
        except OSError:
            return []

    def new(self):
        """The requests logged since the last call: (path, status, body
        bytes or None where the log cannot tell)."""
        # varnishncsa writes a moment after the answer.
        time.sleep(0.3)
        lines = self.log()
        fresh, self.seen = lines[self.seen:], len(lines)
        return [(path, status, (0 if sent == "-" else int(sent)) if self.body_bytes else None)
                for path, status, sent in fresh]

    def stop(self):
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True, timeout=30)


def start_cache(kind, state, origin, env=None):
    """The cache `kind` in front of `origin`, as repo-server.sh starts it."""
    if kind == "varnish":
        with open(os.path.join(origin.state, "plain-url")) as f:
            return Server("varnish", state, f.read().strip(), env=env)
    command = "edge" if kind == "nginx" else kind
    return Server(command, state, origin.url, origin.ca, env=env, body_bytes=kind != "squid")


class EdgePublisher(Publisher):
    """publish_test's translation team, whose players reach the origin
    through a cache: repositories list the cache's URL."""

    def __init__(self, root, repo_tool, kanade, kind):  # not Publisher's: no relay
        self.root, self.repo_tool, self.kanade, self.kind = root, repo_tool, kanade, kind
        self.www = os.path.join(root, "www")
        os.makedirs(self.www)
        write_files(os.path.join(root, "kanade-conv-test"), {COLD_TEXT: COLD_BYTES})
        # A plain HTTP listener too, which Varnish reaches the origin by.
        self.origin = Server("start", os.path.join(root, "origin"), self.www,
                             env={"KANADE_SERVER_PLAIN": "1"})
        try:
            self.edge = start_cache(kind, os.path.join(root, kind), self.origin)
        except Exception:
            self.origin.stop()
            raise
        self.url, self.ca = self.edge.url, self.edge.ca

    def stop(self):
        self.edge.stop()
        self.origin.stop()


def repository_paths():
    return sorted(f"/repos/{name}.repo" for name in REPOSITORIES)


def check_origin_asked_little(asked, what):
    """At most one conditional request a repository, each a 304 without a
    body, and no body request."""
    paths = [path for path, _, _ in asked]
    check(all(path.startswith("/repos/") and status == "304" and sent == 0
              for path, status, sent in asked) and len(paths) == len(set(paths)),
          f"{what}: the origin sees at most one 304 without a body a repository, and no "
          f"body request: {asked}")


def fetch(url, ca, accept, *headers):
    """curl: status, headers (lower-case names), the bytes as sent."""
    with tempfile.NamedTemporaryFile() as body:
        command = ["curl", "-s", "--cacert", ca, "-D", "-", "-o", body.name]
        if accept is not None:
            command += ["-H", "Accept-Encoding: " + accept]
        for header in headers:
            command += ["-H", header]
        said = subprocess.run(command + [url], capture_output=True, text=True, timeout=30)
        lines = said.stdout.strip().splitlines()
        status = lines[0].split()[1] if lines else "-"
        fields = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
        fields = {k.strip().lower(): v.strip() for k, v in fields.items()}
        return status, fields, body.read()


# Accept-Encoding as players send it, and whether the origin answers with
# the .gz copy. None: no header at all.
ENCODINGS = (
    ("deflate, gzip, br, zstd", True),  # libcurl's own list, which earlier builds sent
    (None, False),
    ("gzip", True),  # the patcher's
    ("identity", False),
    ("gzip;q=0, identity", False),
    ("br", False),
    ("GZIP, deflate", True),
)
PASSED_ON = ("etag", "last-modified", "vary", "content-encoding", "cache-control",
             "content-length")


def variants(publisher):
    origin, edge = publisher.origin, publisher.edge
    paths = ["/repos/kanade-test.repo", body_path(COLD_BYTES)]
    copies = {}
    for path in paths:
        with open(os.path.join(publisher.www, path[1:]), "rb") as f:
            plain = f.read()
        with open(os.path.join(publisher.www, path[1:] + ".gz"), "rb") as f:
            copies[path] = (plain, f.read())
    # What the origin itself answers to each, asked before the cache is.
    direct = {(path, accept): fetch(origin.url + path, origin.ca, accept)[1]
              for path in paths for accept, _ in ENCODINGS}
    origin.new()
    # Cold, each variant is first asked for with the player's own Via, which
    # must not decide what the cache stores; then warm, from its copies.
    asked = [(path, accept, gzip, via) for path in paths for accept, gzip in ENCODINGS
             for via in (PLAYER_VIA, None)]
    for turn in ("cold", "warm"):
        for path, accept, gzip, via in asked:
            what = f"{path}, Accept-Encoding {accept!r}, {via or 'no Via'}, {turn}"
            status, fields, data = fetch(edge.url + path, edge.ca, accept, *([via] if via else []))
            check(status == "200" and data == copies[path][gzip] and
                  ("content-encoding" in fields) == gzip,
                  f"{what}: the cache sends the {'.gz copy' if gzip else 'plain file'} "
                  f"({len(data)} bytes, {fields.get('content-encoding')})")
            mine = direct[path, accept]
            check({k: fields.get(k) for k in PASSED_ON} == {k: mine.get(k) for k in PASSED_ON},
                  f"{what}: the headers are the origin's: {fields} against {mine}")
        filled = origin.new()
    check(all(path.startswith("/repos/") and status == "304" for path, status, _ in filled),
          f"the warm round is answered from the cache's copies: {filled}")
    # A player's validators, as the patcher sends them (If-None-Match with
    # If-Modified-Since, which Squid needs for a 304): its own copy's get a
    # 304, the other copy's the whole file.
    for path, accept, gzip, via in asked:
        mine, other = direct[path, accept], direct[path, None if gzip else "gzip"]
        for tag, expected in ((mine.get("etag"), "304"), (other.get("etag"), "200")):
            status, _, data = fetch(edge.url + path, edge.ca, accept, *([via] if via else []),
                                    f"If-None-Match: {tag}",
                                    f"If-Modified-Since: {mine.get('last-modified')}")
            check(status == expected and data == (b"" if expected == "304" else
                                                  copies[path][gzip]),
                  f"{path}, Accept-Encoding {accept!r}, {via or 'no Via'}: If-None-Match {tag} "
                  f"is answered {status}, not {expected}")
    origin.new()


def fill_and_revalidate(publisher, ctx):
    origin, edge = publisher.origin, publisher.edge
    first = Client(ctx, publisher.kind + "-player-1")
    first.start()
    first.finish()
    first.check_release(1, "first player")
    bodies = sorted(path for path, status, _ in origin.new()
                    if path.startswith("/files/") and status == "200")
    check(set(map(body_path, release(1).values())) <= set(bodies) and
          len(set(bodies)) == len(bodies),
          f"the first player fills the cache: each body once from the origin: {bodies}")
    edge.new()

    second = Client(ctx, publisher.kind + "-player-2")
    second.start()
    second.finish()
    second.check_release(1, "second player")
    served = sorted(path for path, status, _ in edge.new()
                    if path.startswith("/files/") and status == "200")
    check(served == bodies, f"the cache serves the second player every body: {served}")
    check_origin_asked_little(origin.new(), "the second player's first run")

    # Nothing new, right after the last run and once the cache's copies are
    # past their second, when it must ask.
    for pause in (0, STALE):
        time.sleep(pause)
        first.start()
        first.finish()
        answers = edge.new()
        what = f"nothing new ({pause} s after the last run)"
        check(sorted(path for path, _, _ in answers) == repository_paths() and
              all(status == "304" and sent in (0, None) for _, status, sent in answers),
              f"{what}: the cache answers a 304 without a body for every repository: "
              f"{answers}")
        asked = origin.new()
        check_origin_asked_little(asked, what)
        check(pause == 0 or sorted(path for path, _, _ in asked) == repository_paths(),
              f"{what}: the cache asks the origin about every repository: {asked}")


def new_release(publisher, ctx):
    origin, edge = publisher.origin, publisher.edge
    player = Client(ctx, publisher.kind + "-player-3")
    player.start()
    player.finish()
    origin.new(), edge.new()
    # The cache holds release 1 fresh when release 2 goes out.
    check_published(publisher.publish(2), "release 2")
    time.sleep(STALE)
    player.start()
    player.finish()
    player.check_release(2, "the run after release 2, through the cache")
    answers = {path: (status, sent) for path, status, sent in edge.new()}
    changed = answers.pop("/repos/kanade-test.repo", None)
    check(changed in (("200", publisher.gz_size("kanade-test")), ("200", None)) and
          all(status == "304" for path, (status, _) in answers.items()
              if path.startswith("/repos/")),
          f"the cache sends the new repository whole (its .gz copy) and 304 for the others: "
          f"{changed}, {answers}")
    asked = origin.new()
    fetched = [path for path, status, _ in asked if path.startswith("/files/")]
    check(fetched == [body_path(release(2)["Language.txt"])],
          f"the origin sends the one new body: {fetched}")
    check(len(asked) - len(fetched) <= len(REPOSITORIES),
          f"and at most one request a repository: {asked}")


def missing_body(publisher, _ctx):
    """A player asks for a body before its upload arrives; once it is
    there, the cache serves it within a few seconds, in both encodings."""
    data = "".join(f"{n}: 遅れて届いた本文\n" for n in range(2000)).encode()
    path = body_path(data)
    edge = publisher.edge
    for accept in ("gzip", None):
        status, fields, _ = fetch(edge.url + path, edge.ca, accept)
        check(status == "404" and fields.get("cache-control") == "no-store",
              f"{path} before its upload ({accept}): 404, no-store: {status}, {fields}")
    write_files(publisher.www, {path[1:]: data})
    subprocess.run(["gzip", "-k9", os.path.join(publisher.www, path[1:])], check=True)
    uploaded = time.time()
    for accept in ("gzip", None):
        def served():
            status, fields, got = fetch(edge.url + path, edge.ca, accept)
            return status == "200" and got[:2] == (b"\x1f\x8b" if accept else data[:2])
        while not served() and time.time() - uploaded < 10:
            time.sleep(0.2)
        took = time.time() - uploaded
        print(f"  {publisher.kind}: the uploaded body served ({accept}) {took:.1f} s after "
              "its upload", flush=True)
        check(took <= UPLOADED_WITHIN,
              f"{path} ({accept}) is served within {UPLOADED_WITHIN} s of its upload: {took:.1f}")


def small_rows(origin, cache):
    """Two rows in small, with whether each held and what reached the
    origin: nothing new (a repository asked about again past a second with
    its validators is answered 304 by the origin) and the second player (the
    6 MB table, fetched again with a reload that a player may send, does not
    reach the origin again)."""
    repo, table = "/repos/kanade-test.repo", body_path(release(1)[TABLE])
    _, fields, _ = fetch(cache.url + repo, cache.ca, "gzip")
    time.sleep(STALE)
    origin.new()
    fetch(cache.url + repo, cache.ca, "gzip", f"If-None-Match: {fields.get('etag')}",
          f"If-Modified-Since: {fields.get('last-modified')}")
    asked = origin.new()
    rows = {"nothing new": (all(status == "304" for _, status, _ in asked), asked)}
    fetch(cache.url + table, cache.ca, "gzip")
    origin.new()
    fetch(cache.url + table, cache.ca, "gzip", "Cache-Control: no-cache", "Pragma: no-cache")
    asked = origin.new()
    rows["second player"] = (asked == [], asked)
    return rows


# Each cache as it comes, its origin set and nothing else, and the row it
# fails.
DEFAULTS = {
    "nginx": ("""proxy_cache_path "@CACHE@" keys_zone=kanade_default:1m;
        server { listen @LISTEN@ ssl; ssl_certificate "@SSL_CERTIFICATE@";
                 ssl_certificate_key "@SSL_CERTIFICATE_KEY@";
                 location / { proxy_pass https://@ORIGIN@; proxy_cache kanade_default; } }""",
              {}, "nothing new"),
    "varnish": ('vcl 4.1; backend origin { .host = "@ORIGIN_HOST@"; .port = "@ORIGIN_PORT@"; }',
                {"KANADE_VARNISH_PARAMS": ""}, "nothing new"),
    "squid": ("https_port @LISTEN@ accel defaultsite=@SERVER_NAME@ tls-cert=@SSL_CERTIFICATE@ "
              "tls-key=@SSL_CERTIFICATE_KEY@\ncache_peer @ORIGIN_HOST@ parent @ORIGIN_PORT@ 0 "
              "no-query originserver tls tls-cafile=@ORIGIN_CA@ ssldomain=@ORIGIN_NAME@\n"
              "http_access allow all\nnever_direct allow all\n", {}, "second player"),
}


def defaults(publisher):
    """The small rows hold through the shipped configuration; through the
    cache as it comes, the one DEFAULTS names fails."""
    for row, (ok, asked) in small_rows(publisher.origin, publisher.edge).items():
        check(ok, f"{publisher.kind}: {row}, in small, through the shipped configuration: {asked}")
    template, env, fails = DEFAULTS[publisher.kind]
    path = os.path.join(publisher.root, "default-" + publisher.kind)
    with open(path, "w") as f:
        f.write(template)
    cache = start_cache(publisher.kind, path + ".state", publisher.origin,
                        env=dict(env, KANADE_EDGE_SITE=path))
    try:
        ok, asked = small_rows(publisher.origin, cache)[fails]
        print(f"  {publisher.kind} as it comes, {fails}: the origin saw {asked}", flush=True)
        check(not ok, f"{publisher.kind} as it comes fails {fails}")
    finally:
        cache.stop()


ROWS = (fill_and_revalidate, new_release, missing_body)


def cache_case(kind):
    def case(ctx):
        publisher = EdgePublisher(os.path.join(ctx.root, kind), ctx.repo_tool, ctx.kanade, kind)
        ctx.server = publisher  # the players' server
        try:
            check_published(publisher.publish(1), f"{kind}: release 1")
            # Before any player: every copy is cold.
            variants(publisher)
            for row in ROWS:
                print(f"  {kind}: {row.__name__}", flush=True)
                row(publisher, ctx)
            defaults(publisher)
        finally:
            publisher.stop()
    case.__name__ = kind
    return case


def setup(ctx):
    ctx.kanade, ctx.repo_tool = ctx.args
    start_display(ctx)


if __name__ == "__main__":
    kinds = os.environ.get("KANADE_EDGE_CACHES", "nginx,varnish,squid").split(",")
    sys.exit(main("edge e2e", __doc__, [cache_case(kind) for kind in kinds], setup))
