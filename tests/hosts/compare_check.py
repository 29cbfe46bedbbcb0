#!/usr/bin/env python3
"""Compares the pictures and error texts that galaxy-check wrote for two
builds (the Linux library and the Windows DLL under Wine), pixel by pixel.

usage: compare_check.py REFERENCE_DIR OTHER_DIR

A pixel differs when any of its channels differs by more than LEVELS. The two
builds run the same HLSL through different compilers and the same draws
through different Direct3D 11 implementations, so exact equality is not
expected: rounding of colour conversions and of the shaders' exp/pow moves
smooth gradients by a level or two, which LEVELS absorbs. What it cannot
absorb are the orbit lines and star points: one pixel wide, they are placed by
each implementation's line and point rasterization rules, which Direct3D 11
leaves open, so along a line single pixels may light on one build and their
neighbour on the other. BUDGET bounds those, as a share of the picture: it is
a few times what the lines of the solar system move (under 0.5% here), and far
below what any real fault does (a missing body, a wrong colour, a shifted
camera or a lost blend changes several percent of the pixels or more).
"""
import os
import struct
import sys
import zlib

LEVELS = 4
BUDGET = 0.01

PICTURES = [f"{kind}_{mode}.png" for kind in ("offscreen", "window")
            for mode in ("solar_system", "galaxy", "black_hole", "asteroid_field")]
PICTURES.append("window_resized.png")


def read_png(path):
    """Decodes an 8-bit RGBA, non-interlaced PNG into (width, height, rows)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG")
    pos, idat, header = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour != 6 or interlace != 0:
        raise ValueError(f"{path}: not 8-bit RGBA non-interlaced")
    raw = zlib.decompress(b"".join(idat))
    stride, bpp = width * 4, 4
    rows, prev = [], bytearray(stride)
    for y in range(height):
        base = y * (stride + 1)
        kind, line = raw[base], bytearray(raw[base + 1:base + 1 + stride])
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 255
        rows.append(bytes(line))
        prev = line
    return width, height, rows


def differing_pixels(a, b):
    (wa, ha, ra), (wb, hb, rb) = a, b
    if (wa, ha) != (wb, hb):
        raise ValueError(f"sizes differ: {wa}x{ha} and {wb}x{hb}")
    count = 0
    for row_a, row_b in zip(ra, rb):
        for x in range(0, wa * 4, 4):
            if any(abs(row_a[x + i] - row_b[x + i]) > LEVELS for i in range(4)):
                count += 1
    return count


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    ref, other = sys.argv[1], sys.argv[2]
    failed = 0
    for name in PICTURES:
        a = read_png(os.path.join(ref, name))
        b = read_png(os.path.join(other, name))
        n = differing_pixels(a, b)
        total = a[0] * a[1]
        ok = n <= BUDGET * total
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {n} of {total} pixels differ by more than {LEVELS} levels")
    with open(os.path.join(ref, "errors.txt")) as f:
        want = f.read()
    with open(os.path.join(other, "errors.txt")) as f:
        got = f.read()
    if want != got:
        print(f"FAIL errors.txt differs:\n--- {ref}\n{want}--- {other}\n{got}")
        failed += 1
    else:
        print("ok   errors.txt: the same error texts")
    if failed:
        print(f"compare_check: {failed} mismatch(es) between {ref} and {other}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
