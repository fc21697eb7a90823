#!/usr/bin/python3
"""Sets two folders of kanade.log transcripts against each other, as the
end-to-end tests leave them with KANADE_E2E_TRANSCRIPTS=FOLDER: the same
cases run by two builds must have logged the same bytes. Prints a unified
diff of every difference (line ends shown as \\r) and a transcript that only
one folder holds; exits 1 on any difference, 2 when a folder has none.

Usage: compare_transcripts.py BEFORE AFTER
"""
import difflib
import os
import sys


def transcripts(folder):
    try:
        return {n for n in os.listdir(folder) if n.endswith(".log")}
    except OSError:
        return set()


def lines(path):
    with open(path, "rb") as f:
        data = f.read()
    # Split after LF only, so that a lost or extra CR shows in the diff.
    text = data.decode("utf-8", "backslashreplace").replace("\r", "\\r")
    return text.splitlines(keepends=True)


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    before, after = sys.argv[1:3]
    names = {folder: transcripts(folder) for folder in (before, after)}
    for folder, found in names.items():
        if not found:
            print(f"compare_transcripts: no transcript in {folder}")
            return 2
    differ = 0
    for name in sorted(names[before] | names[after]):
        for folder in (before, after):
            if name not in names[folder]:
                print(f"only in {before if folder == after else after}: {name}")
                differ += 1
        if name not in names[before] or name not in names[after]:
            continue
        a, b = lines(os.path.join(before, name)), lines(os.path.join(after, name))
        if a != b:
            differ += 1
            for line in difflib.unified_diff(a, b, os.path.join(before, name),
                                             os.path.join(after, name)):
                print(line if line.endswith("\n") else line + "\n\\ No newline at end of file",
                      end="" if line.endswith("\n") else "\n")
    common = len(names[before] & names[after])
    if differ:
        print(f"compare_transcripts: {differ} of {len(names[before] | names[after])} "
              "transcripts differ")
        return 1
    print(f"compare_transcripts: {common} transcripts identical")
    return 0


if __name__ == "__main__":
    sys.exit(main())
