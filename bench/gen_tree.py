#!/usr/bin/env python3
"""Generates a benchmark tree.

  gen_tree.py sized DIR FILES TOTAL_BYTES   FILES files from 1 KiB to 2 MiB adding up
                                            to about TOTAL_BYTES, half text, half random
  gen_tree.py small DIR FILES FOLDERS       FILES files of 100-300 bytes in FOLDERS folders
  gen_tree.py index DIR FCI                 rewrites the change index FCI (keeping its stamp)
                                            as a first run of the tree DIR would have left it;
                                            DIR as the schedule names its source. Refuses an
                                            index no run would trust (no stamp, one in use)
"""
import hashlib
import struct
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
    # Low-level calls and one content buffer: a million files in a minute or so.
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0)
    body = b"x" * 300
    names = [os.path.join(root, "s%03d" % k) for k in range(min(files, folders))]
    for name in names:
        os.makedirs(name, exist_ok=True)
    for i in range(files):
        fd = os.open("%s/f%06d" % (names[i % folders], i), flags, 0o644)
        os.write(fd, body[:100 + i % 200])
        os.close(fd)
    print("%d files in %d folders" % (files, folders))


def index(root, fci):
    # Records of 32 bytes sorted by the SHA-1 of the path: digest, then time,
    # size low and size high, little-endian; folders have time and size 0.
    # The paths are the agent's: the source as the schedule names it, then
    # "/" and each name. The header is the one the first run left: the agent
    # trusts the index only while that stamp is the one the server kept.
    head = stamped_header(fci)
    records = []

    def add(path, mtime, size):
        records.append(hashlib.sha1(os.fsencode(path)).digest() +
                       struct.pack("<III", mtime & 0xFFFFFFFF, size & 0xFFFFFFFF, size >> 32))

    add(root, 0, 0)
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            add(os.path.join(folder, d), 0, 0)
        for name in files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            # Whole seconds as the agent reads them: the float st_mtime can
            # round a time just below a second up to the next one.
            add(path, st.st_mtime_ns // 1000000000, st.st_size)
    records.sort(key=lambda r: r[:20])
    # Written in place: the file keeps the owner-only mode the agent gave it.
    with open(fci, "r+b") as f:
        f.write(head)
        f.write(b"".join(records))
        f.truncate()
    print("%d records in %s (stamp %d)" % (len(records), fci, struct.unpack("<i", head[4:])[0]))


def stamped_header(fci):
    """The 8-byte header of the index FCI when a run would trust it, else exits."""
    def refuse(why):
        sys.exit("gen_tree.py index: %s: %s" % (fci, why))

    if os.path.exists(fci + ".ro"):
        # A run that did not finish left its index in use; the next run reads
        # that one and deletes FCI.
        refuse("%s.ro is left by a run that did not finish" % os.path.basename(fci))
    try:
        with open(fci, "rb") as f:
            head = f.read(8)
    except OSError as e:
        refuse("no index from a first run (%s)" % e.strerror)
    if len(head) < 8:
        refuse("the header is cut short")
    version, stamp = struct.unpack("<Ii", head)
    if version != 1:
        refuse("version %d, not 1" % version)
    if stamp == 0:
        # The run's end was not confirmed by the server (or the index was
        # disowned): it vouches for nothing.
        refuse("no stamp: the first run's index vouches for nothing")
    return head

if __name__ == "__main__":
    kind, root = sys.argv[1], sys.argv[2]
    if kind == "sized":
        sized(root, int(sys.argv[3]), int(sys.argv[4]))
    elif kind == "index":
        index(root, sys.argv[3])
    else:
        small(root, int(sys.argv[3]), int(sys.argv[4]))
