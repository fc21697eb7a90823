"""What every end-to-end test script shares: recording failed checks,
waiting for a condition, and the patcher's expected log lines."""
import os
import re
import time

failures = []
# Print passed checks too (for tests whose order of events is the point).
show_passes = False


def check(condition, message):
    if show_passes or not condition:
        print(("ok:   " if condition else "FAIL: ") + message, flush=True)
    if not condition:
        failures.append(message)
    return condition


def wait_until(predicate, timeout, step=0.1):
    """The predicate's first true result, or its last result at the time-out."""
    deadline = time.time() + timeout
    while True:
        result = predicate()
        if result or time.time() >= deadline:
            return result
        time.sleep(step)


def publish_args(name):
    """kanade-repo options that sign as the publisher the build trusts, for
    the repository `name` (its server file name without ".repo")."""
    secret = os.environ.get("KANADE_SECRET_KEY", "")
    if not os.path.isfile(secret):
        raise RuntimeError("KANADE_SECRET_KEY must name the secret key of the build's trusted "
                           "publisher key (scripts/test-keys.sh makes one)")
    return ["--key", secret, "--name", name]


def fetch_lines(url):
    return ["> レポジトリを取得中: " + url, "< レポジトリを取得中: " + url + " 成功"]


def install_lines(path, size):
    return ["> - 更新: " + path, f"< - 更新: {path} {size}", f"< - 更新: {path} 成功"]


def remove_lines(path):
    return ["> - 削除: " + path, f"< - 削除: {path} 成功"]


def without_progress(lines, paths):
    """The lines without the download progress rewrites, whose number
    depends on timing; each must name a module being installed."""
    kept = []
    for line in lines:
        match = re.fullmatch(r"(?:UPG:)?< - 更新中: (.*) (\d+)", line)
        if match:
            check(match.group(1) in paths, "a progress line names a module: " + line)
            continue
        kept.append(line)
    return kept
