"""What every end-to-end test script shares: recording failed checks,
waiting for a condition, and the patcher's expected log lines."""
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


def check_hover_while_counting_down(shoot, counting, what):
    """Photographs the main window while counting() holds, with the pointer
    on the settings box: the box keeps its yellow frame although every event
    of the countdown blocks for the whole hover time. Returns a picture
    taken meanwhile (the console's first row shows the title then)."""
    samples, picture = [], None
    deadline = time.time() + 30
    while time.time() < deadline:
        shot = shoot()
        if not counting():
            break
        picture = shot
        frame = [(x, 5) for x in range(560, 592)] + [(560, y) for y in range(5, 37)]
        samples.append(all(max(abs(a - b) for a, b in zip(shot.getpixel(p), (255, 255, 0))) <= 2
                           for p in frame))
    check(len(samples) >= 5 and sum(samples) >= 0.8 * len(samples),
          f"{what}: the settings box stays yellow under the pointer during the countdown "
          f"({sum(samples)} of {len(samples)} pictures)")
    return picture


def check_console_keys(shoot, press, title, what):
    """Up without a click moves the console by one line; enough Ups bring
    the title line (`title`: its text pixels) to the top row."""
    def rows(picture):
        return [console_ink(picture, r) for r in range(9)]

    # A picture of the console at rest: the last lines may still be painting.
    pictures = [shoot()]
    while len(pictures) < 20 and (len(pictures) < 2 or rows(pictures[-1]) != rows(pictures[-2])):
        time.sleep(0.2)
        pictures.append(shoot())
    before = pictures[-1]
    press("Up")
    moved = wait_until(lambda: (lambda p: all(
        alike(console_ink(p, r), console_ink(before, r - 1)) > 0.9 for r in range(1, 9)))(shoot()),
        5, 0.2)
    check(moved, f"{what}: Up moves the console by one line without a click")
    for _ in range(25):
        press("Up")
    top = wait_until(lambda: alike(console_ink(shoot(), 0), title) > 0.9, 5, 0.2)
    check(top, f"{what}: scrolled all the way up, the title line shows at the top")
