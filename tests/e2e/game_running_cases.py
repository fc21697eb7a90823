"""The game still running, on Linux and under Wine alike: the run waits for
it without touching a file, names it, and installs once it has ended; a
file that another program holds is no reason to wait; closing the window
while waiting leaves every file as it was.

Each test supplies the sandbox of record_cases.py, and:
  start(), stop(run)   a run in the background, and its end
  close(run)           a close request to its window; the exit code
  hold(path, as_game)  a program that creates the game folder's `path` and
                       keeps it open, as the game (Wine: its executable;
                       Linux: started in the game folder) or not (Wine: a
                       crash handler in the game folder; Linux: started
                       elsewhere); .name, and .release() ends it
  locks_files          True where a file held open cannot be replaced
"""
import os
import time

import e2e_common
from e2e_common import GAME_EXE, KanadeLog, changes, check, read_bytes as read, snapshot
from e2e_common import wait_until, write_file as write

READY = "> " + e2e_common.READY
NOT_APPLIED = "> " + e2e_common.NOT_APPLIED
RELEASE = {"Language.txt": b"ja", "Data/ui.txt": b"ui"}


def waiting_line(name):
    return f"ゲームが起動中です: {name} — 終了を待っています..."


def lines_of(box):
    return KanadeLog(os.path.join(box.program, "kanade.log")).lines()


def closings(box):
    return KanadeLog(os.path.join(box.program, "kanade.log")).closing()


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
        waited = time.time() - released
        check(ended, "game running: the line ends 完了 once the game has ended")
        print(f"  the wait ended {waited:.2f} s after the game", flush=True)
        check(wait_until(lambda: closings(box), 30, 0.2) == [READY],
              f"game running: then the run ends green ({closings(box)})")
        check(read(os.path.join(box.game, "Language.txt")) == b"ja",
              "game running: the translation is installed after the game")
    finally:
        holder.release()
        box.stop(run)


def other_program(box):
    """A program that is not the game holds a file: no wait. Windows cannot
    replace that file, whose line ends red with the holder's name; Linux
    can."""
    holder = box.hold("Language.txt", as_game=False)
    try:
        closing = box.run()
    finally:
        holder.release()
    lines = lines_of(box)
    check(not any("ゲームが起動中です" in line for line in lines),
          "other program: the run does not wait for it")
    if not box.locks_files:
        check(closing == READY, f"other program: Linux replaces the file ({closing})")
        return
    check(closing == NOT_APPLIED, f"other program: the run ends red ({closing})")
    failed = [i for i, line in enumerate(lines)
              if line.startswith("< - 更新: ") and "Language.txt 書込失敗" in line]
    reason = lines[failed[-1] + 1] if failed and failed[-1] + 1 < len(lines) else ""
    check(reason.startswith("! ") and holder.name in reason,
          f"other program: the reason names {holder.name}: {reason!r}")
    check(read(os.path.join(box.game, "Data/ui.txt")) == b"ui",
          "other program: the files it does not hold are installed")


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


CASES = [game_running, other_program, closed_while_waiting]


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
