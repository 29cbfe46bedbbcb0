#!/usr/bin/env python3
"""Frame time against camera distance, from bench_closeup's output, as a PNG.

    build/bench/bench_closeup > closeup.txt
    python3 scripts/plot_closeup.py closeup.txt docs/images/closeup.png

One panel per mode (solar system, galaxy, black hole, asteroid field), log
scales, one line per executor: lavapipe (red), the CPU executor on one
worker (blue) and on two (green). Plain Python: no plotting library, a
3x5 pixel font and a PNG writer of its own.
"""
import re
import struct
import sys
import zlib

# 3x5 glyphs, rows top to bottom, 3 bits each (4 = left column).
FONT = {
    '0': [7, 5, 5, 5, 7], '1': [2, 6, 2, 2, 7], '2': [7, 1, 7, 4, 7], '3': [7, 1, 3, 1, 7], '4': [5, 5, 7, 1, 1],
    '5': [7, 4, 7, 1, 7], '6': [7, 4, 7, 5, 7], '7': [7, 1, 1, 2, 2], '8': [7, 5, 7, 5, 7], '9': [7, 5, 7, 1, 7],
    '.': [0, 0, 0, 0, 2], ' ': [0, 0, 0, 0, 0], '-': [0, 0, 7, 0, 0], '=': [0, 7, 0, 7, 0], ':': [0, 2, 0, 2, 0],
    'A': [2, 5, 7, 5, 5], 'B': [6, 5, 6, 5, 6], 'C': [7, 4, 4, 4, 7], 'D': [6, 5, 5, 5, 6], 'E': [7, 4, 6, 4, 7],
    'F': [7, 4, 6, 4, 4], 'G': [7, 4, 5, 5, 7], 'H': [5, 5, 7, 5, 5], 'I': [7, 2, 2, 2, 7], 'K': [5, 5, 6, 5, 5],
    'L': [4, 4, 4, 4, 7], 'M': [5, 7, 7, 5, 5], 'N': [6, 5, 5, 5, 5], 'O': [7, 5, 5, 5, 7], 'P': [7, 5, 7, 4, 4],
    'R': [6, 5, 6, 5, 5], 'S': [7, 4, 7, 1, 7], 'T': [7, 2, 2, 2, 2], 'U': [5, 5, 5, 5, 7], 'V': [5, 5, 5, 5, 2],
    'W': [5, 5, 7, 7, 5], 'X': [5, 5, 2, 5, 5], 'Y': [5, 5, 2, 2, 2], 'Z': [7, 1, 2, 4, 7],
}
MODES = ['SOLAR SYSTEM', 'GALAXY', 'BLACK HOLE', 'ASTEROID FIELD']
SERIES = [('lavapipe', (220, 60, 50)), ('cpu-1', (50, 100, 220)), ('cpu-2', (40, 160, 70))]
W, H = 960, 640
SCALE = 2  # font pixels per glyph pixel


def png(path, img):
    raw = b''.join(b'\0' + bytes(row) for row in img)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', W, H, 8, 2, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def put(img, x, y, c):
    if 0 <= x < W and 0 <= y < H:
        img[y][3 * x:3 * x + 3] = c


def text(img, x, y, s, c=(0, 0, 0)):
    for ch in s.upper():
        for r, bits in enumerate(FONT.get(ch, FONT[' '])):
            for col in range(3):
                if bits >> (2 - col) & 1:
                    for dy in range(SCALE):
                        for dx in range(SCALE):
                            put(img, x + col * SCALE + dx, y + r * SCALE + dy, c)
        x += 4 * SCALE


def line(img, x0, y0, x1, y1, c, width=2):
    n = max(abs(x1 - x0), abs(y1 - y0), 1)
    for i in range(n + 1):
        x = round(x0 + (x1 - x0) * i / n)
        y = round(y0 + (y1 - y0) * i / n)
        for d in range(width):
            put(img, x, y + d, c)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    data = {}  # (mode, executor) -> {distance: ms}
    for ln in open(sys.argv[1]):
        m = re.match(r'case mode=(\d) dist=([\d.]+) executor=(\S+) ms=([\d.]+)', ln)
        if m and float(m.group(2)) > 0:
            data.setdefault((int(m.group(1)), m.group(3)), {})[float(m.group(2))] = float(m.group(4))
    if not data:
        sys.exit('no "case" lines with a distance in ' + sys.argv[1])
    from math import log10, floor, ceil
    ms = [v for d in data.values() for v in d.values() if v > 0]
    lo, hi = floor(log10(min(ms))), ceil(log10(max(ms)))
    hi = max(hi, lo + 1)
    dists = sorted({d for v in data.values() for d in v})
    img = [bytearray([255] * 3 * W) for _ in range(H)]
    pw, ph = W // 2, (H - 40) // 2
    for mode in range(4):
        ox, oy = (mode % 2) * pw, 40 + (mode // 2) * ph
        left, right, top, bottom = ox + 70, ox + pw - 20, oy + 30, oy + ph - 40
        text(img, left, oy + 8, MODES[mode])
        line(img, left, bottom, right, bottom, (0, 0, 0), 1)
        line(img, left, top, left, bottom, (0, 0, 0), 1)

        def px(d):  # far on the left, close on the right
            span = log10(max(dists)) - log10(min(dists)) or 1
            return round(left + (log10(max(dists)) - log10(d)) / span * (right - left))

        def py(v):
            return round(bottom - (log10(v) - lo) / (hi - lo) * (bottom - top))
        for e in range(lo, hi + 1):
            y = py(10 ** e)
            line(img, left - 4, y, left, y, (0, 0, 0), 1)
            label = '%d' % (10 ** e) if e >= 0 else '%g' % (10 ** e)
            text(img, left - 8 - 8 * len(label), y - 5, label)
        for d in dists:
            x = px(d)
            line(img, x, bottom, x, bottom + 4, (0, 0, 0), 1)
            text(img, x - 4 * len('%g' % d), bottom + 8, '%g' % d)
        for name, colour in SERIES:
            pts = sorted(data.get((mode, name), {}).items(), reverse=True)
            pts = [(px(d), py(v)) for d, v in pts if v > 0]
            for (x0, y0), (x1, y1) in zip(pts, pts[1:]):
                line(img, x0, y0, x1, y1, colour)
            for x, y in pts:
                for dx in range(-3, 4):
                    line(img, x + dx, y - 3, x + dx, y + 3, colour, 1)
    text(img, 10, 10, 'MS PER FRAME 1280X720 AGAINST CAMERA DISTANCE')
    x = 10 + 8 * 48
    for name, colour in SERIES:
        line(img, x, 15, x + 20, 15, colour, 4)
        text(img, x + 26, 10, name)
        x += 26 + 8 * len(name) + 24
    png(sys.argv[2], img)


if __name__ == '__main__':
    main()
