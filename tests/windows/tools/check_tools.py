#!/usr/bin/env python3
"""Compares what galaxy-render.exe and galaxy-viewer.exe wrote under Wine
(run_under_wine.sh OUTDIR) with the Linux galaxy-render's pictures.

usage: check_tools.py LINUX_DIR WINDOWS_DIR

LINUX_DIR holds set/ (galaxy-render -s 320x180 -d) and seq/ (-m galaxy
-s 160x90 -t 20 -n 3 -k 2 -d); the pictures must match within the budgets of
compare_check.py. The video's raw frames must be exactly the Windows build's
own PNG frames, and the viewer's screenshots the window's size before and
after it was resized."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "hosts"))
import compare_check  # noqa: E402

SET = ["solar_system.png", "galaxy.png", "black_hole.png", "asteroid_field.png"]
SEQ = [f"frame_{k:04d}.png" for k in (2, 3, 4)]


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    linux, win = sys.argv[1], sys.argv[2]
    failed = []

    for name in [f"set/{n}" for n in SET] + [f"seq/{n}" for n in SEQ]:
        try:
            a = compare_check.read_png(os.path.join(linux, name))
            b = compare_check.read_png(os.path.join(win, name))
            moved, unmatched = compare_check.differing_pixels(a, b)
        except (OSError, ValueError) as e:
            failed.append(f"{name}: {e}")
            continue
        total = a[0] * a[1]
        ok = moved <= compare_check.MOVED * total and unmatched <= compare_check.UNMATCHED * total
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {moved} of {total} pixels differ, {unmatched} with no match nearby")
        if not ok:
            failed.append(name)

    try:
        with open(os.path.join(win, "seq.mp4"), "rb") as f:
            video = f.read()
        frames = [b"".join(compare_check.read_png(os.path.join(win, "seq", n))[2]) for n in SEQ]
        if video != b"".join(frames):
            failed.append(f"the video's {len(video)} bytes are not the {len(frames)} frames of seq/")
        else:
            print(f"ok   seq.mp4: the {len(frames)} frames, byte for byte")
    except (OSError, ValueError) as e:
        failed.append(f"video: {e}")

    for name, size in (("still.png", (64, 36)), ("viewer/galaxy_0001.png", (320, 180)),
                       ("viewer/galaxy_0002.png", (400, 240))):
        try:
            w, h, _ = compare_check.read_png(os.path.join(win, name))
        except (OSError, ValueError) as e:
            failed.append(f"{name}: {e}")
            continue
        if (w, h) != size:
            failed.append(f"{name} is {w}x{h}, expected {size[0]}x{size[1]}")
        else:
            print(f"ok   {name}: {w}x{h}")

    for f in failed:
        print(f"FAIL {f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
