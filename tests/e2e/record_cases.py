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
  move_game()      moves the game folder elsewhere and tells kanade.ini; `game`
                   names the new place
  transcribe(case) keeps kanade.log as the transcript of `case`

A case returns its closing line and the one expected, and may add the
translation's files that must stay (the game's own copy of one).
"""
import hashlib
import os
import shutil

import e2e_common
from e2e_common import GAME_EXE, check, read_bytes as read, write_file as write

SAVE = "Saves/slot1.sav"
READY = "> " + e2e_common.READY
REMOVED = "> " + e2e_common.UNINSTALLED
NOT_REMOVED = "> " + e2e_common.NOT_REMOVED
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


def forged_record(box):
    """Another user who may write the program folder (a shared drive) adds the
    player's save to the record, in the record's own form: the record is not
    believed, the save stays, and the translation still goes."""
    box.publish(RELEASE)
    check(box.run() == READY, "forged record: installed first")
    forge_record(box.program, box.game)
    closing = box.run("-uninstall")
    check("its seal does not hold" in read_log(box), "forged record: the log says why")
    return closing, REMOVED


def forge_record(program, game):
    """Adds the save to the record as its own lines name files, before the
    seal (what anyone who can write the file can do)."""
    path = os.path.join(program, RECORD)
    text = read(path).decode("utf-8")
    old = next(line for line in text.split("\n") if "Old.txt" in line)
    fields = old.split("\t")
    separator = "\\" if "\\" in fields[2] else "/"
    fields[2] = SAVE.replace("/", separator)
    fields[3] = hashlib.sha256(b"a save").hexdigest()
    fields[4] = str(len(b"a save"))
    header_end = text.index("\n") + 1
    write(path, (text[:header_end] + "\t".join(fields) + "\n" + text[header_end:]).encode())


def read_log(box):
    return (read(os.path.join(box.program, "kanade.log")) or b"").decode("utf-8", "replace")


def new_player(box):
    """A new player's game already holds a file with a module's bytes (a file
    the game and the translation both ship): it stays the game's, and an
    uninstall leaves it."""
    box.publish(RELEASE)
    write(os.path.join(box.game, "Language.txt"), RELEASE["Language.txt"])
    check(box.run() == READY, "new player: installed")
    return box.run("-uninstall"), REMOVED, ["Language.txt"]


def original_program(box):
    """The translation as the original program left it: its files, its
    unsigned copy, no record. Offline an uninstall cannot tell what is ours
    and says so in red, removing nothing; online it removes the translation."""
    box.publish(RELEASE)
    for path, data in RELEASE.items():
        write(os.path.join(box.game, path), data)
    write(os.path.join(box.program, "repos", "kanade-test.repo"),
          unsigned_copy(box, list(RELEASE)).encode())
    check(box.run("-uninstall", server_down=True) == NOT_REMOVED,
          "original program: offline, the uninstall says that it cannot tell")
    check(read(os.path.join(box.game, "Language.txt")) == RELEASE["Language.txt"],
          "original program: offline, nothing is removed")
    return box.run("-uninstall"), REMOVED


def moved_game(box):
    """Steam moves the game folder to another drive: the uninstall removes the
    translation from where the game is now."""
    box.publish(RELEASE)
    check(box.run() == READY, "moved game: installed first")
    box.move_game()
    return box.run("-uninstall"), REMOVED


CASES = [planted_copy, withdrawn_meanwhile, earlier_build, forged_record, new_player,
         original_program, moved_game]


def record_cases(box, extra=()):
    """Every case from a fresh sandbox; each ends with the translation gone
    (but for the files it names) and the game's and the player's own files
    as they were."""
    for case in CASES + list(extra):
        name = case.__name__.replace("_", " ")
        box.fresh()
        write(os.path.join(box.game, SAVE), b"a save")
        write(os.path.join(box.game, GAME_EXE), b"MZ the game")
        try:
            closing, expected, *kept = case(box)
        except Exception as error:  # one broken case must not hide the others
            check(False, f"{name}: raised {error!r}")
            continue
        kept = kept[0] if kept else []
        box.transcribe(name)
        check(closing == expected, f"{name}: ends with {closing}")
        check(read(os.path.join(box.game, SAVE)) == b"a save", f"{name}: the save stays")
        check(read(os.path.join(box.game, GAME_EXE)) == b"MZ the game",
              f"{name}: the game's program stays")
        if expected == REMOVED:
            for path in ("Language.txt", "Data/Old.txt"):
                stays = path in kept
                check((read(os.path.join(box.game, path)) is not None) == stays,
                      f"{name}: {path} {'stays' if stays else 'is removed'}")
        shutil.rmtree(box.game + ".away", ignore_errors=True)
