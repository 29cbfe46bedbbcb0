#!/usr/bin/env python3
"""compare_renders.py, the gate of the ARM64 stage, on small made-up pictures:
it passes identical scenes only, and names the scene, the pixel count, the
largest difference and the first pixel when one differs by a single level in
any channel."""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "compare_renders.py")
SCENES = ("solar_system", "galaxy", "black_hole", "asteroid_field")
W, H = 5, 3


def write_png(path, rows, width):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\x00" + bytes(r) for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, len(rows), 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def picture(seed):
    return [bytearray((seed * 31 + y * 17 + i * 7) % 256 for i in range(W * 4)) for y in range(H)]


def run(changes, width=W):
    """Writes the four scenes twice, the second set with changes applied:
    {scene: [(x, y, channel, delta)]}; returns (exit status, output)."""
    with tempfile.TemporaryDirectory() as tmp:
        a, b = os.path.join(tmp, "a"), os.path.join(tmp, "b")
        os.mkdir(a)
        os.mkdir(b)
        for n, scene in enumerate(SCENES):
            rows = picture(n)
            write_png(os.path.join(a, scene + ".png"), rows, W)
            for x, y, c, delta in changes.get(scene, []):
                rows[y][4 * x + c] = (rows[y][4 * x + c] + delta) % 256
            if width != W:
                rows = [r[:width * 4] for r in rows]
            write_png(os.path.join(b, scene + ".png"), rows, width)
        p = subprocess.run([sys.executable, TOOL, a, b], capture_output=True, text=True)
        return p.returncode, p.stdout + p.stderr


CASES = [
    # name, changes, size of the second set, exit status, text the output must hold
    ("identical", {}, W, 0, "asteroid_field: identical (5x3)"),
    ("one level of red", {"galaxy": [(3, 1, 0, 1)]}, W, 1,
     "galaxy: 1 of 15 pixels differ, by up to 1 levels (first at 3,1)"),
    ("alpha counts too", {"black_hole": [(0, 2, 3, 255)]}, W, 1,
     "black_hole: 1 of 15 pixels differ, by up to 1 levels (first at 0,2)"),
    ("two pixels, largest reported", {"solar_system": [(4, 0, 2, 9), (1, 2, 1, -2)]}, W, 1,
     "solar_system: 2 of 15 pixels differ, by up to 9 levels (first at 4,0)"),
    ("size differs", {}, W - 1, 1, "sizes differ: 5x3 and 4x3"),
]


def main():
    failed = 0
    for name, changes, width, status, text in CASES:
        got_status, out = run(changes, width)
        ok = (got_status != 0) == (status != 0) and text in out
        # The scenes left alone are still reported identical.
        if ok and changes:
            ok = all(f"{s}: identical" in out for s in SCENES if s not in changes)
        print(f"{'ok  ' if ok else 'FAIL'} {name}" + ("" if ok else f": status {got_status}\n{out}"))
        failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
