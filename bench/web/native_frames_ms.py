#!/usr/bin/env python3
"""Frame times of the native library (CPU executor, offscreen): for each mode,
WARMUP frames, then N frames timed one by one; prints one JSON object
{mode: [ms, ...]}. With CLOCK=cpu the times are the process's CPU time,
which a loaded machine disturbs far less than wall time (run it with
HALVENOR_THREADS=1 to compare one core with one core).
    native_frames_ms.py LIBRARY WIDTH HEIGHT QUALITY N"""
import ctypes
import json
import os
import sys
import time

WARMUP = 3


def main():
    lib = ctypes.CDLL(os.path.abspath(sys.argv[1]))
    w, h, quality, n = (int(a) for a in sys.argv[2:6])
    lib.galaxy_get_error.restype = ctypes.c_char_p
    px = ctypes.POINTER(ctypes.c_ubyte)()
    iw, ih, stride = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    if lib.galaxy_create_offscreen(w, h) != 0:
        sys.exit("create: " + lib.galaxy_get_error().decode())
    clock = time.process_time if os.environ.get("CLOCK") == "cpu" else time.perf_counter
    out = {}
    for mode in range(4):
        lib.galaxy_set_mode(mode)
        lib.galaxy_set_quality(quality)
        for _ in range(WARMUP):
            lib.galaxy_frame()
        times = []
        for _ in range(n):
            t0 = clock()
            lib.galaxy_frame()
            # A frame may only be queued when frame returns: its pixels are the end.
            lib.galaxy_readback(ctypes.byref(px), ctypes.byref(iw), ctypes.byref(ih), ctypes.byref(stride))
            times.append((clock() - t0) * 1000.0)
        out[mode] = times
    lib.galaxy_destroy()
    print(json.dumps(out))


if __name__ == "__main__":
    main()
