#!/usr/bin/env python3
"""Exit 0 when two files hold the same bytes, 1 (with the first difference)
when they do not. Holes read as zeros: a region that is a hole in both files
is equal without being read, so that two sparse files of many GiB compare in
the time their data takes."""
import os
import sys

CHUNK = 1 << 20


def data_regions(fd, size):
    """(start, end) of every region that may hold data; the whole file where
    the file system cannot tell holes."""
    out, pos = [], 0
    try:
        while pos < size:
            start = os.lseek(fd, pos, os.SEEK_DATA)
            end = os.lseek(fd, start, os.SEEK_HOLE)
            out.append((start, min(end, size)))
            pos = end
    except OSError as e:  # ENXIO: no data past pos
        if e.errno != 6:
            return [(0, size)]
    return out


def merged(a, b):
    regions = sorted(a + b)
    out = []
    for s, e in regions:
        if out and s <= out[-1][1]:
            out[-1] = (out[-1][0], max(out[-1][1], e))
        else:
            out.append((s, e))
    return out


def main():
    if len(sys.argv) != 3:
        print("usage: same_bytes.py FILE_A FILE_B", file=sys.stderr)
        return 2
    fa = os.open(sys.argv[1], os.O_RDONLY)
    fb = os.open(sys.argv[2], os.O_RDONLY)
    size = os.fstat(fa).st_size
    if os.fstat(fb).st_size != size:
        print(f"sizes differ: {size} and {os.fstat(fb).st_size}")
        return 1
    for s, e in merged(data_regions(fa, size), data_regions(fb, size)):
        pos = s
        while pos < e:
            n = min(CHUNK, e - pos)
            x, y = os.pread(fa, n, pos), os.pread(fb, n, pos)
            if x != y:
                k = next(i for i in range(min(len(x), len(y))) if x[i] != y[i]) if len(x) == len(y) else 0
                print(f"differ at byte {pos + k}")
                return 1
            pos += n
    return 0


if __name__ == "__main__":
    sys.exit(main())
