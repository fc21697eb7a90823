"""What the real patcher removes, on Linux and under Wine alike: only files
it wrote itself and that still hold what it wrote, whatever lists lie in its
program folder, however a run before ended, and starting from a program
folder that an earlier build left (no record of installed files yet).

Each test supplies a sandbox with:
  game, program    the game folder and the program folder (host paths)
  fresh()          both anew: the program with kanade.ini (kanade-test, on),
                   the game folder with the game's program in it
  publish(files)   the next release of kanade-test: {path with "/": bytes}
  run(*args, server_down=False)
                   one run to its closing line; that line, or None
  transcribe(case) keeps kanade.log as the transcript of `case`
"""
import hashlib
import os
import shutil

import e2e_common
from e2e_common import GAME_EXE, check, read_bytes as read, write_file as write

SAVE = "Saves/slot1.sav"
READY = "> " + e2e_common.READY
REMOVED = "> " + e2e_common.UNINSTALLED
RELEASE = {"Language.txt": b"ja", "Data/Old.txt": b"old"}
NEXT_RELEASE = {"Language.txt": b"ja 2"}
RECORD = os.path.join("repos", "installed.txt")


def unsigned_copy(box, paths):
    """A repository as clients before signatures kept it (the SIGN line
    alone), listing `paths` of the game folder with the bytes they hold."""
    lines = "SIGN=0\n" + "".join(
        f"module={p}\thttps://127.0.0.1/x\t{hashlib.sha256(read(os.path.join(box.game, p))).hexdigest()}\n"
        for p in paths)
    return lines.replace("SIGN=0", "SIGN=" + hashlib.sha256(lines.encode()).hexdigest())


def planted_copy(box):
    """Anyone who may write the program folder plants an old-style copy that
    lists the player's save and the game's program; the next uninstall runs
    with the server down, so that copy is all there is."""
    box.publish(RELEASE)
    check(box.run() == READY, "planted copy: installed first")
    write(os.path.join(box.program, "repos", "kanade-test.repo"),
          unsigned_copy(box, [SAVE, GAME_EXE]).encode())
    return box.run("-uninstall", server_down=True), REMOVED


def withdrawn_meanwhile(box):
    """A release withdraws a file while the game folder is away (a run that
    ends before its apply): the next run that finds the folder removes it."""
    box.publish(RELEASE)
    check(box.run() == READY, "withdrawn meanwhile: installed first")
    box.publish(NEXT_RELEASE)
    away = box.game + ".away"
    os.rename(box.game, away)
    # Without its folder the run applies nothing there (under Wine it may
    # find the prefix's other game instead).
    box.run()
    check(read(os.path.join(away, "Data/Old.txt")) == b"old",
          "withdrawn meanwhile: nothing applied while the folder is away")
    os.rename(away, box.game)
    closing = box.run()
    check(read(os.path.join(box.game, "Data/Old.txt")) is None,
          "withdrawn meanwhile: the withdrawn file is gone")
    check(read(os.path.join(box.game, "Language.txt")) == b"ja 2",
          "withdrawn meanwhile: the new release is in place")
    return closing, READY


def earlier_build(box):
    """A program folder that an earlier build left: the translation in place,
    no record. The first run takes it over, and an uninstall removes it."""
    box.publish(RELEASE)
    check(box.run() == READY, "earlier build: installed first")
    os.remove(os.path.join(box.program, RECORD))
    check(box.run() == READY, "earlier build: the first run keeps the translation")
    record = (read(os.path.join(box.program, RECORD)) or b"").decode("utf-8", "replace")
    check("\tLanguage.txt\t" in record and "Old.txt" in record,
          "earlier build: the first run records what is installed")
    return box.run("-uninstall"), REMOVED


CASES = [planted_copy, withdrawn_meanwhile, earlier_build]


def record_cases(box, extra=()):
    """Every case from a fresh sandbox; each ends with the translation gone
    and the game's and the player's own files as they were."""
    for case in CASES + list(extra):
        name = case.__name__.replace("_", " ")
        box.fresh()
        write(os.path.join(box.game, SAVE), b"a save")
        write(os.path.join(box.game, GAME_EXE), b"MZ the game")
        try:
            closing, expected = case(box)
        except Exception as error:  # one broken case must not hide the others
            check(False, f"{name}: raised {error!r}")
            continue
        box.transcribe(name)
        check(closing == expected, f"{name}: ends with {closing}")
        check(read(os.path.join(box.game, SAVE)) == b"a save", f"{name}: the save stays")
        check(read(os.path.join(box.game, GAME_EXE)) == b"MZ the game",
              f"{name}: the game's program stays")
        if expected == REMOVED:
            check(read(os.path.join(box.game, "Language.txt")) is None,
                  f"{name}: the translation is removed")
            check(read(os.path.join(box.game, "Data/Old.txt")) is None,
                  f"{name}: every recorded file is removed")
        shutil.rmtree(box.game + ".away", ignore_errors=True)
