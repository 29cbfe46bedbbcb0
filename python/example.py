#!/usr/bin/env python3
"""Renders the four scenes offscreen, saves each as a PNG and prints how bright
it is, read back as bytes (and as a NumPy array when NumPy is installed).

    python3 python/example.py [OUT_DIR] [WIDTHxHEIGHT]
"""
import os
import sys
import time

from halvenor_galaxy import MODE_NAMES, Galaxy


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else "galaxy-py"
    width, height = map(int, (sys.argv[2] if len(sys.argv) > 2 else "640x360").split("x"))
    os.makedirs(out_dir, exist_ok=True)
    # The file names galaxy-render gives the four scenes.
    for name in MODE_NAMES:
        with Galaxy(width, height) as g:
            g.set_mode(name)
            # Pause past the library's 0.1 s per-frame clamp, then 2 s in one frame.
            time.sleep(0.11)
            g.set_time_scale(20)
            t0 = time.perf_counter()
            g.frame()
            pixels = g.readback()
            took = time.perf_counter() - t0
            path = os.path.join(out_dir, name + ".png")
            g.screenshot(path)
            # Mean of R, G and B over the frame, 0..255.
            mean = (sum(pixels) - sum(pixels[3::4])) / (3 * g.width * g.height)
            line = f"{path}: {g.width}x{g.height}, mean brightness {mean:.1f}, frame {took:.2f} s"
            try:
                a = g.readback_array()
                line += f", brightest pixel {int(a[..., :3].max())}"
            except ImportError:
                pass
            print(line)


if __name__ == "__main__":
    main()
