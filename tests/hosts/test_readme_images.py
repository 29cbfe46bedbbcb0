#!/usr/bin/env python3
"""The README's pictures are what the README's command renders today.

Runs `galaxy-render -s 480x270 -d DIR` into a scratch directory and compares
each picture with the committed one in docs/images. Rendering is
deterministic on one device; the tolerance only absorbs rounding differences
between Vulkan drivers, not a changed scene, camera or aspect ratio."""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
IMAGES = os.path.join(ROOT, "docs", "images")
SCENES = ["solar_system", "galaxy", "black_hole", "asteroid_field"]
MAX_MEAN_DIFF = 1.5    # mean absolute difference per channel byte
MAX_FAR_SHARE = 0.01   # share of pixels with a channel off by more than 32


def read_png(path):
    """(width, height, RGBA bytes) of an 8-bit RGBA PNG."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(path + ": not a PNG")
    pos, idat, width, height = 8, [], 0, 0
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        pos += 12 + n
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            if depth != 8 or colour != 6:
                raise ValueError(path + ": not 8-bit RGBA")
        elif kind == b"IDAT":
            idat.append(body)
    raw = zlib.decompress(b"".join(idat))
    stride = width * 4
    out = bytearray(stride * height)
    prev = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 1:
            for x in range(4, stride):
                line[x] = (line[x] + line[x - 4]) & 255
        elif kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, prev))
        elif kind == 3:
            for x in range(stride):
                left = line[x - 4] if x >= 4 else 0
                line[x] = (line[x] + ((left + prev[x]) >> 1)) & 255
        elif kind == 4:
            for x in range(stride):
                a = line[x - 4] if x >= 4 else 0
                b = prev[x]
                c = prev[x - 4] if x >= 4 else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out[y * stride:(y + 1) * stride] = line
        prev = line
    return width, height, out


def compare(name, fresh, committed):
    fw, fh, fp = read_png(fresh)
    cw, ch, cp = read_png(committed)
    if (fw, fh) != (cw, ch):
        return "%s: committed %dx%d, rendered %dx%d" % (name, cw, ch, fw, fh)
    total = sum(abs(a - b) for a, b in zip(fp, cp))
    far = sum(1 for i in range(0, len(fp), 4) if max(abs(fp[i + k] - cp[i + k]) for k in range(3)) > 32)
    mean = total / len(fp)
    share = far / (fw * fh)
    print("%-15s mean difference %.3f, pixels far off %.4f" % (name, mean, share))
    if mean > MAX_MEAN_DIFF or share > MAX_FAR_SHARE:
        return "%s: differs from what the README's command renders (mean %.3f, far off %.4f); " \
               "regenerate with: galaxy-render -s 480x270 -d docs/images" % (name, mean, share)
    return None


def main():
    render = os.environ.get("GALAXY_RENDER", os.path.join(ROOT, "build", "hosts", "galaxy-render"))
    with tempfile.TemporaryDirectory(prefix="galaxy-readme-") as out:
        subprocess.run([render, "-s", "480x270", "-d", out], check=True, stdout=subprocess.DEVNULL)
        problems = [p for p in (compare(s, os.path.join(out, s + ".png"), os.path.join(IMAGES, s + ".png"))
                                for s in SCENES) if p]
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
