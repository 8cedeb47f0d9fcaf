#!/usr/bin/env python3
"""Writes the archives the peak-RSS benchmark runs on, record by record:

  many.zip          N empty stored entries (N = --entries, 1 000 000 by default)
  overlap-same.zip  N directory records that all point at one local entry, whose data
                    inflates to --same-kb KB of zeros
  overlap-quoted.zip --files entries, each one's data a stored block that quotes the
                    next entry's local header followed by that entry's data: every file
                    inflates to the whole kernel of --kernel-mb MB of zeros (the
                    non-recursive bomb)

  hostile-zips.py OUTDIR [--entries N] [--same-kb S] [--files F] [--kernel-mb K]
"""
import argparse
import os
import struct
import zlib

STAMP = 0x5A8C6B2D  # 2025-04-12 13:25:26, DOS form


def local_header(name, method, crc, csize, usize):
    return struct.pack("<IHHHIIIIHH", 0x04034B50, 20, 0, method, STAMP, crc, csize, usize,
                       len(name), 0) + name


def central_header(name, method, crc, csize, usize, offset):
    return struct.pack("<IHHHHIIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, method, STAMP, crc,
                       csize, usize, len(name), 0, 0, 0, 0, 0o100644 << 16, offset) + name


def end_record(count, dir_size, dir_offset):
    n = min(count, 0xFFFF)
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, dir_size, dir_offset, 0)


def kernel(size):
    """Raw Deflate data of size zero bytes, its CRC and size."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = bytes(1 << 20)
    parts, crc, left = [], 0, size
    while left:
        k = min(left, len(block))
        parts.append(c.compress(block[:k]))
        crc = zlib.crc32(block[:k], crc)
        left -= k
    return b"".join(parts) + c.flush(), crc, size


def write_many(path, count):
    with open(path, "wb") as f:
        central = bytearray()
        pos = 0
        for i in range(count):
            name = b"d%03d/f%07d" % (i // 10000, i)
            rec = local_header(name, 0, 0, 0, 0)
            f.write(rec)
            central += central_header(name, 0, 0, 0, 0, pos)
            pos += len(rec)
        f.write(central)
        f.write(end_record(count, len(central), pos))


def write_overlap_same(path, count, kb):
    data, crc, size = kernel(kb << 10)
    with open(path, "wb") as f:
        rec = local_header(b"f0000000", 8, crc, len(data), size) + data
        f.write(rec)
        central = bytearray()
        for i in range(count):
            central += central_header(b"f%07d" % i, 8, crc, len(data), size, 0)
        f.write(central)
        f.write(end_record(count, len(central), len(rec)))


def write_overlap_quoted(path, files, mb):
    # Built from the last file backwards: file i's data is a stored block holding file
    # i+1's local header, then file i+1's data, which goes on to the kernel.
    body, crc, usize = kernel(mb << 20)
    names = [b"q%04d" % i for i in range(files)]
    records = []  # name, CRC, packed and unpacked size; last file first
    for i in reversed(range(files)):
        records.append((names[i], crc, len(body), usize))
        if i == 0:
            break
        hdr = local_header(names[i], 8, crc, len(body), usize)
        quote = struct.pack("<BHH", 0, len(hdr), len(hdr) ^ 0xFFFF) + hdr
        crc = combine(zlib.crc32(hdr), crc, usize)
        body, usize = quote + body, usize + len(hdr)
    records.reverse()
    with open(path, "wb") as f:
        f.write(local_header(names[0], 8, crc, len(body), usize) + body)
        central = bytearray()
        offset = 0
        for name, c, cs, us in records:
            central += central_header(name, 8, c, cs, us, offset)
            offset += 30 + len(name) + 5
        f.write(central)
        f.write(end_record(files, len(central), 30 + len(names[0]) + len(body)))


def combine(crc1, crc2, len2):
    """CRC-32 of A+B from the CRCs of A and B and the length of B: crc1 is carried over
    len2 zero bytes by an operator matrix raised to that power, as zlib does."""
    def times(mat, vec):
        s, i = 0, 0
        while vec:
            if vec & 1:
                s ^= mat[i]
            vec >>= 1
            i += 1
        return s

    def square(mat):
        return [times(mat, mat[n]) for n in range(32)]

    op = [0xEDB88320] + [1 << n for n in range(31)]  # one zero bit
    for _ in range(3):
        op = square(op)  # two, four, eight bits: one zero byte
    while len2:
        if len2 & 1:
            crc1 = times(op, crc1)
        op = square(op)
        len2 >>= 1
    return crc1 ^ crc2


def main():
    p = argparse.ArgumentParser()
    p.add_argument("outdir")
    p.add_argument("--entries", type=int, default=1_000_000)
    p.add_argument("--same-kb", type=int, default=64)
    p.add_argument("--files", type=int, default=250)
    p.add_argument("--kernel-mb", type=int, default=4)
    a = p.parse_args()
    os.makedirs(a.outdir, exist_ok=True)
    write_many(os.path.join(a.outdir, "many.zip"), a.entries)
    write_overlap_same(os.path.join(a.outdir, "overlap-same.zip"), a.entries, a.same_kb)
    write_overlap_quoted(os.path.join(a.outdir, "overlap-quoted.zip"), a.files, a.kernel_mb)


if __name__ == "__main__":
    main()
