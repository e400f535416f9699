#!/usr/bin/env python3
"""Lists the blocks a local store holds, one line each, sorted:
   PATH OFFSET LENGTH
a block file below STORE/blocks (offset 0, its size) or the data of a packed
block's record in STORE/packs, as the catalog's index names it: the SQLite
catalog of the store, or the PostgreSQL one of TAVNI_E2E_CATALOG."""
import os
import sqlite3
import subprocess
import sys

RECORD_HEADER = 48

store = sys.argv[1]
out = []
blocks = os.path.join(store, "blocks")
for top, dirs, files in os.walk(blocks):
    if os.path.abspath(top) == os.path.abspath(os.path.join(blocks, "tmp")):
        dirs[:] = []
        continue
    for f in files:
        p = os.path.join(top, f)
        out.append("%s 0 %d" % (p, os.path.getsize(p)))
QUERY = "SELECT k.name, p.pos, p.length FROM packed p JOIN packs k ON k.id = p.pack"
rows = []
if os.environ.get("TAVNI_E2E_CATALOG"):
    text = subprocess.run(["psql", os.environ["TAVNI_E2E_CATALOG"], "-At", "-F", " ", "-c", QUERY],
                          check=True, capture_output=True, text=True).stdout
    rows = [(n, int(p), int(l)) for n, p, l in (r.split() for r in text.splitlines() if r)]
elif os.path.exists(os.path.join(store, "catalog.db")):
    db = sqlite3.connect(os.path.join(store, "catalog.db"))
    try:
        rows = db.execute(QUERY).fetchall()
    except sqlite3.OperationalError:
        pass  # a catalog of a program before packs
    db.close()
for name, pos, length in rows:
    out.append("%s %d %d" % (os.path.join(store, "packs", name + ".pack"), pos + RECORD_HEADER,
                             length))
for line in sorted(out):
    print(line)
