#!/usr/bin/env python3
"""Renders every state of cases.json with the native library and writes each
frame's RGBA rows to OUT/<name>.rgba, for the web module's pixels to be
compared against.
    native_frames.py LIBRARY OUT"""
import ctypes
import json
import os
import sys


def main():
    lib = ctypes.CDLL(os.path.abspath(sys.argv[1]))
    out = sys.argv[2]
    os.makedirs(out, exist_ok=True)
    lib.galaxy_get_error.restype = ctypes.c_char_p
    lib.galaxy_set_time_scale.argtypes = [ctypes.c_float]
    lib.galaxy_set_camera.argtypes = [ctypes.c_float] * 3
    lib.galaxy_adjust_camera.argtypes = [ctypes.c_float] * 3
    cases = json.load(open(os.path.join(os.path.dirname(__file__), "cases.json")))["cases"]
    for c in cases:
        # The order the web test uses: creation, then every setting, then one frame.
        if lib.galaxy_create_offscreen(c["width"], c["height"]) != 0:
            sys.exit("create: " + lib.galaxy_get_error().decode())
        lib.galaxy_set_time_scale(0.0)
        lib.galaxy_set_mode(c["mode"])
        lib.galaxy_set_quality(c["quality"])
        if "camera" in c:
            lib.galaxy_set_camera(*c["camera"])
        for a in c.get("adjust", []):
            lib.galaxy_adjust_camera(*a)
        lib.galaxy_frame()
        px = ctypes.POINTER(ctypes.c_ubyte)()
        w, h, stride = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        if lib.galaxy_readback(ctypes.byref(px), ctypes.byref(w), ctypes.byref(h), ctypes.byref(stride)) != 0:
            sys.exit("readback: " + lib.galaxy_get_error().decode())
        with open(os.path.join(out, c["name"] + ".rgba"), "wb") as f:
            f.write(ctypes.string_at(px, stride.value * h.value))
        lib.galaxy_destroy()


if __name__ == "__main__":
    main()
