#!/usr/bin/env python3
"""Builds the tree that the tidyup benchmark empties, and guards the canary.

    make_tree.py ROOT CANARY            check the canary, then lay ROOT anew
    make_tree.py --check ROOT CANARY    check that ROOT is empty and the canary intact
    make_tree.py --describe             say what the tree holds

ROOT gets DIRS directories (a ten-way tree, a few levels deep) with FILES files
each, and, every LINK_EVERY directories, a directory link and a file link that
lead out of the tree to CANARY. A tool that followed one of them would delete
the canary's files, which the next check reports.
"""
import os
import shutil
import sys

# BENCH_DIRS and BENCH_FILES make a smaller tree for a quick run.
DIRS = int(os.environ.get("BENCH_DIRS", 5000))
FILES = int(os.environ.get("BENCH_FILES", 10))
LINK_EVERY = 50
CANARY_FILES = ("keep.txt", os.path.join("inner", "keep.txt"))
CANARY_TEXT = "must survive\n"


def fail(message):
    sys.exit("make_tree: " + message)


def lay_canary(canary):
    os.makedirs(os.path.join(canary, "inner"), exist_ok=True)
    for name in CANARY_FILES:
        path = os.path.join(canary, name)
        if not os.path.exists(path):
            with open(path, "w") as f:
                f.write(CANARY_TEXT)


def check_canary(canary):
    for name in CANARY_FILES:
        path = os.path.join(canary, name)
        try:
            with open(path) as f:
                if f.read() == CANARY_TEXT:
                    continue
        except OSError:
            pass
        fail("canary %s was damaged: a link inside the tree was followed" % path)


def dir_path(root, i):
    # Directory i of a ten-way tree: 0-9 at the top, the parent of i >= 10 is i // 10 - 1.
    names = []
    while True:
        names.append("d%04d" % i)
        if i < 10:
            break
        i = i // 10 - 1
    return os.path.join(root, *reversed(names))


def lay_tree(root, canary):
    if os.path.lexists(root):
        shutil.rmtree(root)  # never follows a link inside
    os.makedirs(root)
    canary_file = os.path.join(canary, "keep.txt")
    for i in range(DIRS):
        d = dir_path(root, i)
        os.mkdir(d)
        for j in range(FILES):
            with open(os.path.join(d, "f%02d.txt" % j), "w") as f:
                f.write("%s file %d\n" % (d, j))
        if i % LINK_EVERY == 0:
            os.symlink(canary, os.path.join(d, "dirlink"), target_is_directory=True)
            os.symlink(canary_file, os.path.join(d, "filelink"))


def check_empty(root):
    if not os.path.isdir(root) or os.path.islink(root):
        fail("%s is not a directory after the run" % root)
    left = os.listdir(root)
    if left:
        fail("%s still holds %d entries after the run" % (root, len(left)))


def main(argv):
    if argv == ["--describe"]:
        print("%d directories, %d files and %d links out of the tree"
              % (DIRS, DIRS * FILES, 2 * len(range(0, DIRS, LINK_EVERY))))
        return
    check = argv[:1] == ["--check"]
    if check:
        argv = argv[1:]
    if len(argv) != 2:
        fail("usage: make_tree.py [--check] ROOT CANARY")
    root, canary = argv
    if check:
        check_empty(root)
        check_canary(canary)
        return
    lay_canary(canary)
    check_canary(canary)
    lay_tree(root, canary)


if __name__ == "__main__":
    main(sys.argv[1:])
