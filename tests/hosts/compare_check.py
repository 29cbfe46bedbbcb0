#!/usr/bin/env python3
"""Compares the pictures and error texts that galaxy-check wrote for two
builds (the Linux library and the Windows DLL under Wine), pixel by pixel.

usage: compare_check.py REFERENCE_DIR OTHER_DIR

A pixel differs when any of its channels differs by more than LEVELS. The two
builds run the same HLSL through different compilers and the same draws
through different Direct3D 11 implementations, so exact equality is not
expected: rounding of colour conversions and of the shaders' exp/pow moves
some pixels of smooth gradients by one level (never more, as measured on both
of Wine's back ends), which LEVELS absorbs with room to spare.

What LEVELS cannot absorb are the smallest things drawn: one-pixel orbit lines,
and belt particles and stars smaller than a pixel. Each implementation places
them by its own rasterization rules and rounding, so along a line single
pixels light on one build and their neighbour on the other, and a sub-pixel
particle may cover a pixel centre on one build only. Two budgets bound this:
  - MOVED: pixels that differ at all, at most 1% of the picture. Wine's OpenGL
    back end differs in 0.27% of the solar system (its Vulkan one in none);
    a picture shifted by one pixel differs in 17-32%, a wrong blend or colour
    in far more than 1%.
  - UNMATCHED: differing pixels whose value is found at none of the 3x3
    neighbours in the other picture (so not a line that moved by a pixel), at
    most 0.1%. Only sub-pixel particles do that: 20 pixels (0.035%) of the
    solar system on the OpenGL back end. A body of 8x8 pixels missing on one
    build fails it (60 unmatched pixels); smaller ones are left to the engine
    tests, which run on both builds and check where each body lands.
"""
import os
import struct
import sys
import zlib

LEVELS = 4
MOVED = 0.01
UNMATCHED = 0.001

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


def close(p, q):
    return all(abs(p[i] - q[i]) <= LEVELS for i in range(4))


def differing_pixels(a, b):
    """(pixels that differ, those of them with no close 3x3 neighbour in the
    other picture, looked for both ways)."""
    (wa, ha, ra), (wb, hb, rb) = a, b
    if (wa, ha) != (wb, hb):
        raise ValueError(f"sizes differ: {wa}x{ha} and {wb}x{hb}")

    def pixel(rows, x, y):
        return rows[y][x * 4:x * 4 + 4]

    def near(rows, x, y, p):
        return any(close(p, pixel(rows, nx, ny))
                   for ny in range(max(0, y - 1), min(ha, y + 2))
                   for nx in range(max(0, x - 1), min(wa, x + 2)))

    moved = unmatched = 0
    for y in range(ha):
        for x in range(wa):
            p, q = pixel(ra, x, y), pixel(rb, x, y)
            if close(p, q):
                continue
            moved += 1
            if not (near(rb, x, y, p) and near(ra, x, y, q)):
                unmatched += 1
    return moved, unmatched


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    ref, other = sys.argv[1], sys.argv[2]
    failed = 0
    for name in PICTURES:
        a = read_png(os.path.join(ref, name))
        b = read_png(os.path.join(other, name))
        moved, unmatched = differing_pixels(a, b)
        total = a[0] * a[1]
        ok = moved <= MOVED * total and unmatched <= UNMATCHED * total
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {moved} of {total} pixels differ by more than "
              f"{LEVELS} levels, {unmatched} with no match nearby")
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
