#!/usr/bin/env python3
"""Lays out a package of N entries for the installer benchmark.

usage: make-tree.py DIR N [NAME]

DIR/package.yml and DIR/files/usr/...: mostly 1-16 KiB text-like files in
nested directories, about one symlink in fifty, and a few larger files of
random (incompressible) bytes. Deterministic for a given N.
"""
import os
import random
import sys


def main():
    root, count = sys.argv[1], int(sys.argv[2])
    name = sys.argv[3] if len(sys.argv) > 3 else "bench"
    rng = random.Random(count)
    os.makedirs(os.path.join(root, "files"), exist_ok=True)
    with open(os.path.join(root, "package.yml"), "w") as f:
        f.write(f"name: {name}\nos: linux\nversion: 1.0\narch: x64\n")

    words = [
        "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
        for _ in range(4000)
    ]
    text = " ".join(rng.choice(words) for _ in range(400000)).encode()

    tops = ["usr/lib", "usr/share", "usr/include", "usr/share/doc", "usr/lib/python3/site"]
    big = 4
    made = 0
    last_file = None
    directory = None
    for i in range(count - big):
        if i % 40 == 0:
            top = rng.choice(tops)
            directory = os.path.join(top, f"pkg{i // 400}", f"part{i // 40}")
            if rng.random() < 0.5:
                directory = os.path.join(directory, "deeper")
            os.makedirs(os.path.join(root, "files", directory), exist_ok=True)
        path = os.path.join(root, "files", directory, f"f{i}")
        if last_file and i % 50 == 25:
            os.symlink(last_file, path)
        else:
            size = rng.randint(1024, 16 * 1024)
            start = rng.randrange(0, len(text) - size)
            with open(path, "wb") as f:
                f.write(text[start:start + size])
            last_file = f"f{i}"
        made += 1
    os.makedirs(os.path.join(root, "files", "usr/lib/big"), exist_ok=True)
    for i in range(big):
        with open(os.path.join(root, "files", "usr/lib/big", f"blob{i}"), "wb") as f:
            f.write(os.urandom(2 * 1024 * 1024))
        made += 1
    return made


if __name__ == "__main__":
    main()
