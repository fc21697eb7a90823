#!/usr/bin/python3
"""The caching edge (scripts/nginx-edge.conf.in) in front of the origin
(scripts/nginx-site.conf.in), both nginx over TLS on the loopback
(scripts/repo-server.sh), and the real patcher under Xvfb through the edge.
Both access logs are counted.

  fill         a first player fills the edge; a second player's first run
               sends no body request to the origin
  nothing new  a 304 from the edge for every repository; the origin sees at
               most one conditional request a repository, answered 304
  release      published while the edge holds the old one: the next run
               through the edge gets it
  variants     curl with and without gzip, in turn, through the edge: each
               gets the bytes and headers the origin sends it

Usage: edge_test.py KANADE KANADE_REPO
(KANADE_SECRET_KEY names the secret of the publisher key the build trusts;
KANADE_E2E_KEEP=DIR keeps the sandboxes and both servers' logs there;
KANADE_EDGE_SITE=FILE tries another edge template.)
"""
import os
import re
import subprocess
import sys
import tempfile
import time

from e2e_common import REPO_SERVER, REPOSITORIES, check, main, start_display
from publish_test import TEXTS, Client, Publisher, body_path, check_published, release

# The edge keeps a repository for one second of nginx's clock, which counts
# whole seconds: past this, it must ask the origin again.
STALE = 2.2
# nginx's combined log: path, status, body bytes.
LOG_LINE = re.compile(r'"GET (/\S+) HTTP/[\d.]+" (\d+) (\d+)')


class Server:
    """One nginx started by repo-server.sh, and what its access log holds."""

    def __init__(self, command, state, *arguments):
        self.state = state
        env = dict(os.environ, KANADE_SERVER_LIFETIME="300")
        started = subprocess.run(["bash", REPO_SERVER, command, state, *arguments], env=env,
                                 capture_output=True, text=True, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("repo-server.sh: " + started.stderr.strip())
        self.url = started.stdout.strip().splitlines()[-1]
        self.ca = os.path.join(state, "ca.pem")
        self.seen = 0

    def log(self):
        try:
            with open(os.path.join(self.state, "access.log"), encoding="utf-8") as f:
                return LOG_LINE.findall(f.read())
        except OSError:
            return []

    def new(self):
        """The requests logged since the last call: (path, status, bytes)."""
        lines = self.log()
        fresh, self.seen = lines[self.seen:], len(lines)
        return [(path, status, int(sent)) for path, status, sent in fresh]

    def stop(self):
        subprocess.run(["bash", REPO_SERVER, "stop", self.state], capture_output=True, timeout=30)


class EdgePublisher(Publisher):
    """publish_test's translation team, whose players reach the origin
    through the edge: repositories list the edge's URL."""

    def __init__(self, root, repo_tool, kanade):  # not Publisher's: no relay
        self.root, self.repo_tool, self.kanade = root, repo_tool, kanade
        self.www = os.path.join(root, "www")
        os.makedirs(self.www)
        self.origin = Server("start", os.path.join(root, "origin"), self.www)
        try:
            self.edge = Server("edge", os.path.join(root, "edge"), self.origin.url, self.origin.ca)
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


def fill_and_revalidate(ctx):
    publisher = ctx.server
    origin, edge = publisher.origin, publisher.edge
    check_published(publisher.publish(1), "release 1")

    first = Client(ctx, "player-1")
    first.start()
    first.finish()
    first.check_release(1, "first player")
    bodies = sorted(path for path, status, _ in origin.new()
                    if path.startswith("/files/") and status == "200")
    check(set(map(body_path, release(1).values())) <= set(bodies) and
          len(set(bodies)) == len(bodies),
          f"the first player fills the edge: each body once from the origin: {bodies}")
    edge.new()

    second = Client(ctx, "player-2")
    second.start()
    second.finish()
    second.check_release(1, "second player")
    served = sorted(path for path, status, _ in edge.new()
                    if path.startswith("/files/") and status == "200")
    check(served == bodies, f"the edge serves the second player every body: {served}")
    check_origin_asked_little(origin.new(), "the second player's first run")

    # Nothing new, right after the last run and once the edge's copies are
    # past their second (nginx counts whole seconds), when it must ask.
    for pause in (0, STALE):
        time.sleep(pause)
        first.start()
        first.finish()
        answers = edge.new()
        what = f"nothing new ({pause} s after the last run)"
        check(sorted(path for path, _, _ in answers) == repository_paths() and
              all(status == "304" and sent == 0 for _, status, sent in answers),
              f"{what}: the edge answers a 304 without a body for every repository: {answers}")
        asked = origin.new()
        check_origin_asked_little(asked, what)
        check(pause == 0 or sorted(path for path, _, _ in asked) == repository_paths(),
              f"{what}: the edge asks the origin about every repository: {asked}")


def new_release(ctx):
    publisher = ctx.server
    origin, edge = publisher.origin, publisher.edge
    player = Client(ctx, "player-3")
    player.start()
    player.finish()
    origin.new(), edge.new()
    # The edge holds release 1 fresh when release 2 goes out.
    check_published(publisher.publish(2), "release 2")
    time.sleep(STALE)
    player.start()
    player.finish()
    player.check_release(2, "the run after release 2, through the edge")
    answers = {path: (status, sent) for path, status, sent in edge.new()}
    changed = answers.pop("/repos/kanade-test.repo", None)
    check(changed == ("200", publisher.gz_size("kanade-test")) and
          all(status == "304" for path, (status, _) in answers.items()
              if path.startswith("/repos/")),
          f"the edge sends the new repository whole (its .gz copy) and 304 for the others: "
          f"{changed}, {answers}")
    asked = origin.new()
    fetched = [path for path, status, _ in asked if path.startswith("/files/")]
    check(fetched == [body_path(release(2)["Language.txt"])],
          f"the origin sends the one new body: {fetched}")
    check(len(asked) - len(fetched) <= len(REPOSITORIES),
          f"and at most one request a repository: {asked}")


def fetch(url, ca, accept, *headers):
    """curl over HTTP/2: status, headers (lower-case names), the bytes as sent."""
    with tempfile.NamedTemporaryFile() as body:
        command = ["curl", "-s", "--http2", "--cacert", ca, "-D", "-", "-o", body.name]
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
    ("deflate, gzip, br, zstd", True),  # libcurl, the patcher's
    (None, False),
    ("gzip", True),
    ("identity", False),
    ("gzip;q=0, identity", False),
    ("br", False),
    ("GZIP, deflate", True),
)
PASSED_ON = ("etag", "last-modified", "vary", "content-encoding", "cache-control",
             "content-length")


def variants(ctx):
    publisher = ctx.server
    origin, edge = publisher.origin, publisher.edge
    paths = ["/repos/kanade-test.repo", body_path(release(1)[TEXTS])]
    # What the origin itself answers to each, asked before the edge is.
    direct = {(path, accept): fetch(origin.url + path, origin.ca, accept)[1]
              for path in paths for accept, _ in ENCODINGS}
    origin.new()
    # Twice round, the first filling the edge with both copies (the body
    # still holds only the .gz one), the second answered from them.
    for turn in (1, 2):
        for path in paths:
            with open(os.path.join(publisher.www, path[1:]), "rb") as f:
                plain = f.read()
            with open(os.path.join(publisher.www, path[1:] + ".gz"), "rb") as f:
                packed = f.read()
            for accept, gzip in ENCODINGS:
                what = f"{path} with Accept-Encoding {accept!r}, round {turn}"
                status, fields, data = fetch(edge.url + path, edge.ca, accept)
                check(status == "200" and data == (packed if gzip else plain) and
                      ("content-encoding" in fields) == gzip,
                      f"{what}: the edge sends the {'.gz copy' if gzip else 'plain file'} "
                      f"({len(data)} bytes, {fields.get('content-encoding')})")
                mine = direct[path, accept]
                check({k: fields.get(k) for k in PASSED_ON} == {k: mine.get(k) for k in PASSED_ON},
                      f"{what}: the headers are the origin's: {fields} against {mine}")
                # The validator of this copy gets a 304; that of the other
                # copy does not fit it.
                other = direct[path, None if gzip else "gzip"]
                for tag, expected in ((mine.get("etag"), "304"), (other.get("etag"), "200")):
                    status, _, data = fetch(edge.url + path, edge.ca, accept,
                                            f"If-None-Match: {tag}")
                    check(status == expected and (data == b"") == (expected == "304"),
                          f"{what}: If-None-Match {tag} is answered {status}, not {expected}")
        asked = origin.new()
        if turn == 2:
            check(all(path.startswith("/repos/") and status == "304" for path, status, _ in asked),
                  f"the second round is answered from the edge's copies: {asked}")


def setup(ctx):
    ctx.kanade, repo_tool = ctx.args
    start_display(ctx)
    ctx.server = EdgePublisher(ctx.root, repo_tool, ctx.kanade)
    ctx.cleanup.callback(ctx.server.stop)


if __name__ == "__main__":
    sys.exit(main("edge e2e", __doc__, [fill_and_revalidate, new_release, variants], setup))
