#!/usr/bin/env python3
"""Writes a ZIP of a folder's files with every entry compressed as one Zstandard frame
(method 93), for the benchmarks: few tools write such archives yet.

    bench/zstd-zip.py OUT.zip FOLDER [level]
"""
import os
import struct
import subprocess
import sys
import zlib


def main():
    out, root = sys.argv[1], sys.argv[2]
    level = sys.argv[3] if len(sys.argv) > 3 else "3"
    central = []
    with open(out, "wb") as z:
        for folder, _, files in sorted(os.walk(root)):
            for name in sorted(files):
                path = os.path.join(folder, name)
                data = open(path, "rb").read()
                packed = subprocess.run(["zstd", "-q", "-c", f"-{level}"], input=data,
                                        stdout=subprocess.PIPE, check=True).stdout
                arc = os.path.relpath(path, root).encode()
                crc = zlib.crc32(data)
                at = z.tell()
                z.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 63, 0, 93, 0, 0x21, crc,
                                    len(packed), len(data), len(arc), 0))
                z.write(arc)
                z.write(packed)
                central.append(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 63, 63, 0, 93,
                                           0, 0x21, crc, len(packed), len(data), len(arc),
                                           0, 0, 0, 0, 0, at) + arc)
        start = z.tell()
        for record in central:
            z.write(record)
        size = z.tell() - start
        z.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(central), len(central),
                            size, start, 0))


if __name__ == "__main__":
    main()
