#!/usr/bin/env python3
"""Compares the four scenes galaxy-render wrote for two builds of the library,
pixel by pixel, and fails unless they are identical.

usage: compare_renders.py REFERENCE_DIR OTHER_DIR

Used for the aarch64 build (run under qemu-aarch64) against the x86-64 one,
both on the CPU executor. No tolerance: the engine and the executor compute in
single precision operation by operation with contraction off, and the libm
calls (sinf, cosf, powf, atan2f, ...) come from the same glibc release on both
architectures (the :arm64 and :amd64 packages of one Multi-Arch: same version),
whose results do not depend on the architecture. A last-bit difference that
reached a pixel would show as a colour one level off somewhere, and is
reported with the pixels it moved rather than passed.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_check import read_png  # noqa: E402

SCENES = ("solar_system", "galaxy", "black_hole", "asteroid_field")


def compare(reference, other):
    """Returns (differing pixels, largest channel difference, first differing (x, y))."""
    wa, ha, rows_a = reference
    wb, hb, rows_b = other
    if (wa, ha) != (wb, hb):
        raise ValueError(f"sizes differ: {wa}x{ha} and {wb}x{hb}")
    count, largest, first = 0, 0, None
    for y, (ra, rb) in enumerate(zip(rows_a, rows_b)):
        if ra == rb:
            continue
        for x in range(wa):
            d = max(abs(ra[4 * x + c] - rb[4 * x + c]) for c in range(4))
            if d:
                count += 1
                largest = max(largest, d)
                first = first or (x, y)
    return count, largest, first


def main(argv):
    if len(argv) != 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    failed = 0
    for scene in SCENES:
        try:
            a = read_png(os.path.join(argv[1], scene + ".png"))
            b = read_png(os.path.join(argv[2], scene + ".png"))
            count, largest, first = compare(a, b)
        except (OSError, ValueError) as e:
            failed += 1
            print(f"{scene}: {e}")
            continue
        if count:
            failed += 1
            print(f"{scene}: {count} of {a[0] * a[1]} pixels differ, by up to {largest} levels "
                  f"(first at {first[0]},{first[1]})")
        else:
            print(f"{scene}: identical ({a[0]}x{a[1]})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
