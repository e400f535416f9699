#!/usr/bin/env python3
"""Generates a benchmark tree.

  gen_tree.py sized DIR FILES TOTAL_BYTES   FILES files from 1 KiB to 2 MiB adding up
                                            to about TOTAL_BYTES, half text, half random
  gen_tree.py small DIR FILES FOLDERS       FILES files of 100-300 bytes in FOLDERS folders
"""
import math
import os
import random
import sys

rng = random.Random(20261207)
WORDS = ("backup agent server block change index schedule report folder file "
         "stream digest cipher frame session lock mirror filter restore verify").split()


def text_chunk(size):
    words = []
    n = 0
    while n < size:
        w = rng.choice(WORDS)
        words.append(w)
        n += len(w) + 1
    return (" ".join(words)[:size]).encode()


def sized(root, files, total):
    lo, hi = 1024, 2 * 1048576
    raw = [math.exp(rng.uniform(math.log(lo), math.log(hi))) for _ in range(files)]

    def scaled(k):
        return [int(min(hi, max(lo, s * k))) for s in raw]

    a, b = 1e-4, 10.0
    for _ in range(60):
        k = (a + b) / 2
        if sum(scaled(k)) > total:
            b = k
        else:
            a = k
    sizes = scaled(a)
    text = text_chunk(4 * 1048576)
    per_folder = 100
    for i, size in enumerate(sizes):
        folder = os.path.join(root, "d%03d" % (i // per_folder))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "f%05d.%s" % (i, "txt" if i % 2 == 0 else "bin"))
        with open(path, "wb") as f:
            if i % 2 == 0:
                start = rng.randrange(0, len(text) - size) if size < len(text) else 0
                f.write(text[start:start + size])
            else:
                f.write(os.urandom(size))
    print("%d files, %d bytes" % (len(sizes), sum(sizes)))


def small(root, files, folders):
    for i in range(files):
        folder = os.path.join(root, "s%03d" % (i % folders))
        if i < folders:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%06d" % i), "wb") as f:
            f.write(b"x" * (100 + i % 200))
    print("%d files in %d folders" % (files, folders))


if __name__ == "__main__":
    kind, root = sys.argv[1], sys.argv[2]
    if kind == "sized":
        sized(root, int(sys.argv[3]), int(sys.argv[4]))
    else:
        small(root, int(sys.argv[3]), int(sys.argv[4]))
