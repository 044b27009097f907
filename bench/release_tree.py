#!/usr/bin/env python3
"""Writes a generated release tree for the benchmarks: about 2,000 files of
mixed sizes in the folders of a release, random content.

    release_tree.py ROOT MB

MB is 200 (8 x 6 MiB + 120 x 800 KiB + 1872 small files up to 60 KiB) or
100 (8 x 6 MiB + 60 x 400 KiB + 1932 small files up to 30 KiB).  Prints the
number of files and the megabytes written.
"""
import os
import random
import sys

LAYOUTS = {
    200: ([6 << 20] * 8 + [800 << 10] * 120, 1872, 60 << 10),
    100: ([6 << 20] * 8 + [400 << 10] * 60, 1932, 30 << 10),
}

root, mb = sys.argv[1], int(sys.argv[2])
fixed, small_count, small_max = LAYOUTS[mb]
rnd = random.Random(20240601)
folders = ["", "OSKE", "OSKE/lang", "VELN", "VELN/BIN", "VELN/BIN/plugins", "VELN/DOC",
           "UBRA", "UBRA/sub", "UBRA/res/img", "KAVO_data", "KAVO_data/cfg"]
for f in folders:
    os.makedirs(os.path.join(root, f), exist_ok=True)
sizes = fixed + [rnd.randint(0, small_max) for _ in range(small_count)]
chunk = os.urandom(1 << 20)
total = 0
for i, size in enumerate(sizes):
    path = os.path.join(root, folders[i % len(folders)], "file%04d.%s" % (i, ("dll", "exe", "dat", "txt")[i % 4]))
    with open(path, "wb") as out:
        left, off = size, (i * 7919) % len(chunk)
        while left:
            n = min(left, len(chunk) - off)
            out.write(chunk[off:off + n])
            left -= n
            off = 0
    total += size
print("   %d files, %.1f MB" % (len(sizes), total / 1e6))
