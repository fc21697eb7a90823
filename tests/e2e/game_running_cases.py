"""What runs beside the patcher, on Linux and under Wine alike. The game is
waited for without touching a file, named, and the translation installed
once it has ended, but only when a file would change; a shell, or another
program holding a file, is no reason to wait; closing the window while
waiting leaves every file as it was. What another user can hold on the
program folder holds nothing up. A failed uninstall stays on screen and
ends with a failure status. A self-upgrade that is blocked, or whose new
build a virus scanner removes the moment it is in place, leaves the
translation ready and says so on a red line of its own; the build before
comes back.

Each test supplies the sandbox of record_cases.py, and:
  start(*args), stop(run)  a run in the background, and its end
  close(run)           a close request to its window; the exit code
  hold(path, as_game)  a program that creates the game folder's `path` and
                       keeps it open, as the game (Wine: its executable;
                       Linux: Wine's loader of it, as Proton starts it) or
                       not (Wine: a crash handler in the game folder; Linux:
                       working in the game folder); .name, and .release()
                       ends it
  shell()              a shell working in the game folder; .release()
  foreign_lock()       what another user can hold on the program folder
                       (Linux: flock on the folder as nobody; Windows: a
                       lock file that anyone may open, held open without
                       sharing); .release()
  locks_files          True where a file held open cannot be replaced
  exe, build           the program's file name and the build under test
  publish_program(body)  the program's own repository lists `body`
  own_program()        the build copied into the program folder, for an
                       upgrade; its path. start_own() starts it there, and
                       end_all() ends every generation it started
"""
import os
import signal
import subprocess
import threading
import time

import e2e_common
from e2e_common import GAME_EXE, KanadeLog, changes, check, read_bytes as read, snapshot
from e2e_common import wait_until, write_file as write

READY = "> " + e2e_common.READY
NOT_APPLIED = "> " + e2e_common.NOT_APPLIED
NOT_REMOVED = "> " + e2e_common.NOT_REMOVED
NOT_UPDATED = "Kanade Patcher を更新できませんでした。kanade.log を確認してください。"
REMOVED_BY_SCANNER = ("Kanade Patcher を更新できませんでした。"
                      "ウイルス対策ソフトが新しいバージョンを削除した可能性があります。")
RELEASE = {"Language.txt": b"ja", "Data/ui.txt": b"ui"}


class Background:
    """A program that runs until released: a shell ends with its input,
    anything else with its process group."""

    def __init__(self, proc):
        self.proc = proc

    def release(self):
        if self.proc.stdin:
            self.proc.stdin.close()
        else:
            os.killpg(self.proc.pid, signal.SIGKILL)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def waiting_line(name):
    return f"ゲームが起動中です: {name} — 終了を待っています..."


def lines_of(box):
    return KanadeLog(os.path.join(box.program, "kanade.log")).lines()


def closings(box):
    return KanadeLog(os.path.join(box.program, "kanade.log")).closing()


def waited(box, what="ゲームが起動中です"):
    return any(what in line for line in lines_of(box))


def said_before_ready(lines, line, why):
    """`line` (any generation's, "UPG:" too), then its reason naming `why`,
    then the green closing line: the index of `line` in `lines`, or None."""
    lines = [text.removeprefix("UPG:") for text in lines]
    at = next((i for i, text in enumerate(lines) if text == "> " + line), None)
    if at is None or at + 3 >= len(lines):
        return None
    reason = lines[at + 1]
    ok = reason.startswith("! self-upgrade: ") and why in reason and lines[at + 2:at + 4] == [
        "> ", READY]
    return at if ok else None


def game_running(box):
    """The run waits while the game runs and goes on by itself after it."""
    holder = box.hold("Language.txt", as_game=True)
    run = box.start()
    try:
        said = wait_until(lambda: "> " + waiting_line(holder.name) in lines_of(box), 30, 0.2)
        check(said, f"game running: the run names {holder.name} and waits")
        time.sleep(1.5)
        check(read(os.path.join(box.game, "Language.txt")) != b"ja" and not closings(box),
              "game running: nothing is installed while the game runs")
        released = time.time()
        holder.release()
        ended = wait_until(lambda: "< " + waiting_line(holder.name) + " 完了" in lines_of(box), 10,
                           0.05)
        waited_for = time.time() - released
        check(ended, "game running: the line ends 完了 once the game has ended")
        print(f"  the wait ended {waited_for:.2f} s after the game", flush=True)
        check(wait_until(lambda: closings(box), 30, 0.2) == [READY],
              f"game running: then the run ends green ({closings(box)})")
        check(read(os.path.join(box.game, "Language.txt")) == b"ja",
              "game running: the translation is installed after the game")
    finally:
        holder.release()
        box.stop(run)


def nothing_to_write(box):
    """The translation is current: the game running holds nothing up."""
    check(box.run() == READY, "nothing to write: installed first")
    holder = box.hold("Data/keep.txt", as_game=True)
    try:
        closing = box.run()
    finally:
        holder.release()
    check(closing == READY and not waited(box),
          f"nothing to write: the run ends green without waiting for the game ({closing})")


def other_programs(box):
    """A shell working in the game folder, or a program that is not the game
    holding a file: no wait. Windows cannot replace that file, whose line
    ends red with the holder's name; Linux can."""
    shell = box.shell()
    holder = box.hold("Language.txt", as_game=False)
    try:
        closing = box.run()
    finally:
        holder.release()
        shell.release()
    lines = lines_of(box)
    check(not waited(box), "other programs: the run waits for neither")
    if not box.locks_files:
        check(closing == READY, f"other programs: Linux replaces the file ({closing})")
        return
    check(closing == NOT_APPLIED, f"other programs: the run ends red ({closing})")
    failed = [i for i, line in enumerate(lines)
              if line.startswith("< - 更新: ") and "Language.txt 書込失敗" in line]
    reason = lines[failed[-1] + 1] if failed and failed[-1] + 1 < len(lines) else ""
    check(reason.startswith("! ") and holder.name in reason,
          f"other programs: the reason names {holder.name}: {reason!r}")
    check(read(os.path.join(box.game, "Data/ui.txt")) == b"ui",
          "other programs: the files it does not hold are installed")


def closed_while_waiting(box):
    """Closing the window while the run waits for the game changes nothing."""
    holder = box.hold("Language.txt", as_game=True)
    before = snapshot(box.game)
    run = box.start()
    try:
        check(wait_until(lambda: "> " + waiting_line(holder.name) in lines_of(box), 30, 0.2),
              "closed while waiting: the run waits")
        check(box.close(run) == 0, "closed while waiting: a close request ends the program")
    finally:
        holder.release()
        box.stop(run)
    check(not changes(before, snapshot(box.game)),
          f"closed while waiting: every file is as it was: {changes(before, snapshot(box.game))}")
    check(not closings(box), "closed while waiting: the run never got to its end")


def foreign_lock(box):
    """What another user can hold on the program folder holds no run up."""
    lock = box.foreign_lock()
    started = time.time()
    try:
        closing = box.run()
    finally:
        lock.release()
    took = time.time() - started
    check(closing == READY and took < 30 and not waited(box, "他の Kanade Patcher"),
          f"foreign lock: the run ends green in {took:.1f} s without waiting ({closing})")


def immutable(folder, on):
    subprocess.run(["chattr", "+i" if on else "-i", folder], check=True, timeout=10)


def failed_uninstall(box):
    """An uninstall that cannot remove a file stays on screen with its red
    line, and ends with a failure status once the player closes it."""
    check(box.run() == READY, "failed uninstall: installed first")
    data = os.path.join(box.game, "Data")
    immutable(data, True)
    run = None
    try:
        run = box.start("-uninstall")
        check(wait_until(lambda: NOT_REMOVED in closings(box), 60, 0.2),
              f"failed uninstall: the run ends red ({closings(box)})")
        time.sleep(3)
        check(run.poll() is None, "failed uninstall: the window is still open seconds later")
        code = box.close(run)
        check(code not in (0, None), f"failed uninstall: closed, it exits with {code}")
    finally:
        immutable(data, False)
        if run is not None:
            box.stop(run)
    check(read(os.path.join(box.game, "Data/ui.txt")) == b"ui",
          "failed uninstall: the file in the immutable folder stays")


def blocked_upgrade(box):
    """A folder in the way of the new build: the translation is still ready,
    and a red line of its own before the closing line says that the patcher
    could not update itself, the log says why; nothing is started, and the
    folder is left alone."""
    planted = os.path.join(box.program, "upgrade_" + box.exe)
    os.makedirs(os.path.join(planted, "inside"))
    box.publish_program(box.build + b"\0kanade: a newer build\0")
    closing = box.run()
    lines = lines_of(box)
    check(closing == READY, f"blocked upgrade: the closing line is green ({closing})")
    check(said_before_ready(lines, NOT_UPDATED, "upgrade_") is not None,
          "blocked upgrade: a red line says the patcher could not update itself, with its reason")
    check(not any("アップデート準備中" in line for line in lines),
          "blocked upgrade: no upgrade is prepared")
    check(os.path.isdir(os.path.join(planted, "inside")) and
          read(os.path.join(box.game, "Language.txt")) == b"ja",
          "blocked upgrade: the folder is left alone, and the translation installed")


class Scanner(threading.Thread):
    """A virus scanner that deletes `path` once it is another file."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.inode = os.stat(path).st_ino
        self.removed = False
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set() and not self.removed:
            try:
                if os.stat(self.path).st_ino != self.inode:
                    os.remove(self.path)
                    self.removed = True
            except OSError:
                pass
            time.sleep(0.002)


def upgrade_removed_by_scanner(box):
    """A virus scanner removes the new build the moment it is in place: the
    build before comes back, the window says so on a line of its own, and
    the translation is ready."""
    program = box.own_program()
    before = read(program)
    box.publish_program(box.build + b"\0kanade: a build the scanner takes\0")
    scanner = Scanner(program)
    scanner.start()
    run = box.start_own()
    try:
        said = wait_until(lambda: said_before_ready(lines_of(box), REMOVED_BY_SCANNER,
                                                            "virus scanner")
                          is not None, 90, 0.2)
        check(scanner.removed, "scanner: the new build was removed once in place")
        check(said, "scanner: a red line says the patcher could not update itself and that a "
              "virus scanner may have removed it; the closing line is green")
        check(read(program) == before, "scanner: the build before is back")
    finally:
        scanner.halt.set()
        box.end_all()
        box.stop(run)


CASES = [game_running, nothing_to_write, other_programs, closed_while_waiting, foreign_lock,
         failed_uninstall, blocked_upgrade, upgrade_removed_by_scanner]


def game_running_cases(box):
    """Every case from a fresh sandbox with the release published."""
    for case in CASES:
        name = case.__name__.replace("_", " ")
        box.fresh()
        write(os.path.join(box.game, GAME_EXE), b"MZ the game")
        write(os.path.join(box.game, "Data", "keep.txt"), b"the game's own")
        box.publish(RELEASE)
        try:
            case(box)
        except Exception as error:  # one broken case must not hide the others
            check(False, f"{name}: raised {error!r}")
