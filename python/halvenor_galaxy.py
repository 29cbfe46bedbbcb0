"""Python binding of the halvenor-galaxy renderer (ctypes, standard library only).

    from halvenor_galaxy import Galaxy
    with Galaxy(640, 360) as g:          # offscreen; Galaxy(w, h, window=xid) for a window
        g.set_mode("galaxy")
        g.frame()
        g.screenshot("galaxy.png")
        pixels = g.readback()            # bytes, RGBA, rows top to bottom

The library is found through HALVENOR_GALAXY_LIB (a file path) when it is set,
else as the installed libhalvenor-galaxy.so.1 through the system's loader
(ld.so.conf, LD_LIBRARY_PATH), else next to this module or in the build
directories of the source tree. Failures of
the library raise GalaxyError with its error text. One engine exists per
process: close one Galaxy before creating the next.
"""
import ctypes
import os
import sys

__all__ = ["Galaxy", "GalaxyError", "MODES", "load_library", "version"]

MODE_SOLAR_SYSTEM, MODE_GALAXY, MODE_BLACK_HOLE, MODE_ASTEROID_FIELD = range(4)
MODES = {"solar": 0, "galaxy": 1, "blackhole": 2, "asteroids": 3}

if sys.platform == "win32":
    _LIB_NAME = "halvenor-galaxy.dll"
    _SONAME = None
else:
    _LIB_NAME = "libhalvenor-galaxy.so"
    _SONAME = "libhalvenor-galaxy.so.1"

_HERE = os.path.dirname(os.path.abspath(__file__))
_SEARCH = [
    os.path.join(_HERE, _LIB_NAME),
    os.path.join(_HERE, "..", "build", _LIB_NAME),
    os.path.join(_HERE, "..", "build-win", _LIB_NAME),
]

# name: (result type, argument types)
_SIGNATURES = {
    "galaxy_create": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]),
    "galaxy_create_offscreen": (ctypes.c_int, [ctypes.c_int, ctypes.c_int]),
    "galaxy_frame": (None, []),
    "galaxy_resize": (None, [ctypes.c_int, ctypes.c_int]),
    "galaxy_set_mode": (None, [ctypes.c_int]),
    "galaxy_set_time_scale": (None, [ctypes.c_float]),
    "galaxy_set_quality": (None, [ctypes.c_int]),
    "galaxy_set_camera": (None, [ctypes.c_float] * 3),
    "galaxy_adjust_camera": (None, [ctypes.c_float] * 3),
    "galaxy_readback": (ctypes.c_int, [ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte)),
                                       ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                       ctypes.POINTER(ctypes.c_int)]),
    "galaxy_screenshot": (ctypes.c_int, [ctypes.c_char_p]),
    "galaxy_get_error": (ctypes.c_char_p, []),
    "galaxy_version": (ctypes.c_char_p, []),
    "galaxy_destroy": (None, []),
}


class GalaxyError(RuntimeError):
    """A failure of the library (its error text is the message) or of this binding."""


def _open(path=None):
    # An explicit path (argument or HALVENOR_GALAXY_LIB) is the only one tried:
    # silently loading another copy would hide the mistake.
    if path is None:
        path = os.environ.get("HALVENOR_GALAXY_LIB") or None
    if path is not None:
        try:
            return ctypes.CDLL(os.path.abspath(path))
        except OSError as e:
            raise GalaxyError(f"cannot load {path}: {e}") from e
    if _SONAME:
        try:
            return ctypes.CDLL(_SONAME)
        except OSError:
            pass
    for p in _SEARCH:
        if os.path.isfile(p):
            try:
                return ctypes.CDLL(os.path.abspath(p))
            except OSError as e:
                raise GalaxyError(f"cannot load {p}: {e}") from e
    raise GalaxyError("halvenor-galaxy library not found: neither installed (" + str(_SONAME)
                      + ") nor at " + ", ".join(_SEARCH) + "; set HALVENOR_GALAXY_LIB to its path")


def load_library(path=None):
    """Loads the library, from path or the usual places (see above), with typed functions."""
    lib = _open(path)
    for name, (res, args) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = res
        fn.argtypes = args
    return lib


_lib = None
_live = None  # the Galaxy that owns the library's one engine


def _library():
    global _lib
    if _lib is None:
        _lib = load_library()
    return _lib


def version():
    """The library's version text, e.g. "1.0.0"."""
    return _library().galaxy_version().decode()


def _error_text():
    return _library().galaxy_get_error().decode(errors="replace")


def _mode_number(mode):
    if isinstance(mode, str):
        if mode not in MODES:
            raise ValueError(f"unknown mode {mode!r}; use one of {', '.join(MODES)} or 0-3")
        return MODES[mode]
    if isinstance(mode, bool) or not isinstance(mode, int) or not 0 <= mode <= 3:
        raise ValueError(f"mode must be 0-3 or a name, not {mode!r}")
    return mode


def _check_size(width, height):
    for v in (width, height):
        if isinstance(v, bool) or not isinstance(v, int) or v < 1:
            raise ValueError(f"width and height must be positive integers, not {width!r}x{height!r}")


class Galaxy:
    """The library's engine: offscreen, or rendering into a native window when
    window is given (an X11 Window id on Linux, an HWND on Windows)."""

    def __init__(self, width, height, window=None):
        _check_size(width, height)
        global _live
        if _live is not None:
            raise GalaxyError("an engine already exists in this process; close it first")
        lib = _library()
        if window is None:
            rc = lib.galaxy_create_offscreen(width, height)
        else:
            rc = lib.galaxy_create(ctypes.c_void_p(window), width, height)
        if rc != 0:
            raise GalaxyError(_error_text())
        self._lib = lib
        self.width, self.height = width, height
        _live = self

    # -- lifetime

    def close(self):
        """Destroys the engine; repeated calls do nothing."""
        global _live
        if _live is self:
            self._lib.galaxy_destroy()
            _live = None

    @property
    def closed(self):
        return _live is not self

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _ready(self):
        if _live is not self:
            raise GalaxyError("the engine is closed")
        return self._lib

    # -- per frame

    def frame(self):
        """Renders one frame (and presents it, for a window)."""
        self._ready().galaxy_frame()

    def resize(self, width, height):
        _check_size(width, height)
        self._ready().galaxy_resize(width, height)
        self.width, self.height = width, height

    def set_mode(self, mode):
        """0-3 or "solar", "galaxy", "blackhole", "asteroids"; loads the mode's camera."""
        self._ready().galaxy_set_mode(_mode_number(mode))

    def set_quality(self, quality):
        """0, 1 or 2; a change regenerates the scene content."""
        if isinstance(quality, bool) or quality not in (0, 1, 2):
            raise ValueError(f"quality must be 0, 1 or 2, not {quality!r}")
        self._ready().galaxy_set_quality(quality)

    def set_time_scale(self, scale):
        """Simulated seconds per wall second; the library clamps it to 0..100."""
        self._ready().galaxy_set_time_scale(float(scale))

    def set_camera(self, yaw, pitch, distance):
        self._ready().galaxy_set_camera(float(yaw), float(pitch), float(distance))

    def adjust_camera(self, yaw_change=0.0, pitch_change=0.0, zoom=1.0):
        self._ready().galaxy_adjust_camera(float(yaw_change), float(pitch_change), float(zoom))

    # -- pixels

    def _readback_raw(self):
        px = ctypes.POINTER(ctypes.c_ubyte)()
        w, h, stride = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        if self._ready().galaxy_readback(ctypes.byref(px), ctypes.byref(w), ctypes.byref(h),
                                         ctypes.byref(stride)) != 0:
            raise GalaxyError(_error_text())
        self.width, self.height = w.value, h.value
        return ctypes.cast(px, ctypes.c_void_p).value, w.value, h.value, stride.value

    def readback(self):
        """The last frame as bytes: RGBA8, rows top to bottom, width * 4 per row.
        The size is in self.width and self.height."""
        addr, w, h, stride = self._readback_raw()
        if stride == w * 4:
            return ctypes.string_at(addr, w * h * 4)
        return b"".join(ctypes.string_at(addr + y * stride, w * 4) for y in range(h))

    def readback_array(self):
        """The last frame as a writable NumPy uint8 array of shape (height, width, 4)."""
        try:
            import numpy as np
        except ImportError as e:
            raise ImportError("readback_array needs NumPy; readback() gives bytes without it") from e
        addr, w, h, stride = self._readback_raw()
        buf = bytearray(h * stride)
        ctypes.memmove((ctypes.c_char * len(buf)).from_buffer(buf), addr, len(buf))
        rows = np.frombuffer(buf, dtype=np.uint8).reshape(h, stride)
        return rows[:, :w * 4].reshape(h, w, 4)

    def screenshot(self, path):
        """Writes the last frame as an RGBA PNG file."""
        if self._ready().galaxy_screenshot(os.fsencode(path)) != 0:
            raise GalaxyError(_error_text())
