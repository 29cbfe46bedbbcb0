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
directories of the source tree.

Every argument is checked before the library sees it: a value of the wrong
type raises TypeError, a value out of range (or NaN, or infinite) ValueError
naming the accepted range. File errors raise OSError subclasses
(FileNotFoundError, PermissionError, IsADirectoryError...) with the path and
the reason; other failures of the library raise GalaxyError with its error
text. One engine exists per process: close a Galaxy (or use it in a with
block) before creating the next; one that is dropped without close() is
released when it is garbage-collected, or at the latest at interpreter exit.
"""
import ctypes
import errno
import gc
import math
import operator
import os
import stat
import sys
import tempfile
import weakref

__all__ = ["Galaxy", "GalaxyError", "MODES", "MODE_NAMES", "load_library", "version", "__version__"]

__version__ = "1.0.0"

MODE_SOLAR_SYSTEM, MODE_GALAXY, MODE_BLACK_HOLE, MODE_ASTEROID_FIELD = range(4)
# The short names of galaxy-render's --mode, and the scenes' file names.
MODES = {"solar": 0, "galaxy": 1, "blackhole": 2, "asteroids": 3}
MODE_NAMES = ("solar_system", "galaxy", "black_hole", "asteroid_field")

MAX_SIDE = 16384
MAX_QUALITY = 2
MAX_TIME_SCALE = 100.0
# The limits the library keeps while the camera moves.
MAX_PITCH = 1.5
MIN_DISTANCE, MAX_DISTANCE = 1.2, 20000.0

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
            return ctypes.CDLL(os.path.abspath(path), use_errno=True)
        except OSError as e:
            raise GalaxyError(f"cannot load {path}: {e}") from e
    if _SONAME:
        try:
            return ctypes.CDLL(_SONAME, use_errno=True)
        except OSError:
            pass
    for p in _SEARCH:
        if os.path.isfile(p):
            try:
                return ctypes.CDLL(os.path.abspath(p), use_errno=True)
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
_owner = None  # the token of the Galaxy that owns the library's one engine
_owner_galaxy = None  # a weak reference to that Galaxy, for messages


class _Token:
    """Stands for one Galaxy's hold on the engine. The finalizer keeps this,
    not the Galaxy, so a dropped Galaxy can still be collected."""
    __slots__ = ("__weakref__",)


def _release(lib, token):
    global _owner
    if _owner is token:
        _owner = None
        lib.galaxy_destroy()


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


def _int(value, what, lo, hi):
    """An integer (anything operator.index takes: NumPy integers too) within lo..hi."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer {lo}..{hi}, not {value!r}")
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer {lo}..{hi}, not {value!r}") from None
    if not lo <= v <= hi:
        raise ValueError(f"{what} must be {lo}..{hi}, not {v}")
    return v


def _real(value, what, lo=None, hi=None):
    """A finite float (anything float() takes but text) within lo..hi."""
    if isinstance(value, (str, bytes, bytearray, bool)):
        raise TypeError(f"{what} must be a number, not {value!r}")
    try:
        v = float(value)
    except TypeError:
        raise TypeError(f"{what} must be a number, not {value!r}") from None
    if not math.isfinite(v):
        raise ValueError(f"{what} must be finite, not {v}")
    if (lo is not None and v < lo) or (hi is not None and v > hi):
        raise ValueError(f"{what} must be {lo:g}..{hi:g}, not {v:g}")
    return v


def _key(name):
    return name.lower().replace("_", "").replace("-", "")


# galaxy-render's names: case, "_" and "-" ignored.
_MODE_KEYS = {_key(n): i for n, i in MODES.items()}
_MODE_KEYS.update((_key(n), i) for i, n in enumerate(MODE_NAMES))
_MODE_CHOICES = "solar, galaxy, blackhole, asteroids (or solar_system, black_hole, asteroid_field) or 0-3"


def _mode_number(mode):
    if isinstance(mode, str):
        if _key(mode) not in _MODE_KEYS:
            raise ValueError(f"unknown mode {mode!r}: use {_MODE_CHOICES}")
        return _MODE_KEYS[_key(mode)]
    if isinstance(mode, bool):
        raise TypeError(f"mode must be {_MODE_CHOICES}, not {mode!r}")
    try:
        v = operator.index(mode)
    except TypeError:
        raise TypeError(f"mode must be {_MODE_CHOICES}, not {mode!r}") from None
    if not 0 <= v <= 3:
        raise ValueError(f"mode must be {_MODE_CHOICES}, not {v}")
    return v


def _size(width, height):
    return _int(width, "width", 1, MAX_SIDE), _int(height, "height", 1, MAX_SIDE)


def _os_error(err, path):
    """The OSError subclass Python itself would raise for err on path."""
    return OSError(err, os.strerror(err), path)


class Galaxy:
    """The library's one engine, rendering offscreen or into a window.

    Galaxy(width, height) renders offscreen into an image of that size;
    Galaxy(width, height, window=id) renders into a native window (an X11
    Window id on Linux, an HWND on Windows) and presents every frame there.
    Sizes are 1..16384 pixels a side. Use it in a with block, or call
    close(); only one Galaxy can be open at a time.

    Raises TypeError or ValueError for bad arguments, GalaxyError when the
    library cannot create the engine or another one is open.
    """

    def __init__(self, width, height, window=None):
        """Creates the engine (see the class's text); settings start at mode 0
        (solar system), quality 1 and time scale 1."""
        width, height = _size(width, height)
        if window is not None:
            window = _int(window, "window", 1, 2**64 - 1)
        global _owner, _owner_galaxy
        if _owner is not None:
            gc.collect()  # a dropped Galaxy caught in a reference cycle goes now
        if _owner is not None:
            raise GalaxyError(f"an engine already exists in this process ({_owner_galaxy()!r}); "
                              "close it first")
        lib = _library()
        if window is None:
            rc = lib.galaxy_create_offscreen(width, height)
        else:
            rc = lib.galaxy_create(ctypes.c_void_p(window), width, height)
        if rc != 0:
            raise GalaxyError(_error_text())
        self._lib = lib
        self._token = _Token()
        self._window = window
        self.width, self.height = width, height
        self._mode, self._quality, self._time_scale = 0, 1, 1.0
        _owner = self._token
        _owner_galaxy = weakref.ref(self)
        # Runs on close(), when a dropped Galaxy is collected, or at exit.
        self._finalizer = weakref.finalize(self, _release, lib, self._token)

    # -- lifetime

    def close(self):
        """Destroys the engine, so a new Galaxy can be made; repeated calls do nothing."""
        self._finalizer()

    @property
    def closed(self):
        """True once close() has run."""
        return _owner is not self._token

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        where = "offscreen" if self._window is None else f"window={self._window:#x}"
        if self.closed:
            return f"<Galaxy {self.width}x{self.height} {where}, closed>"
        return (f"<Galaxy {self.width}x{self.height} {where}, mode={MODE_NAMES[self._mode]!r}, "
                f"quality={self._quality}, time_scale={self._time_scale:g}>")

    def _ready(self):
        if self.closed:
            raise GalaxyError("the engine is closed")
        return self._lib

    # -- per frame

    def frame(self):
        """Advances simulated time (the wall time since the last frame, at most
        0.1 s, times the time scale) and renders one frame; a window also
        shows it. Raises GalaxyError when the engine is closed."""
        self._ready().galaxy_frame()

    def resize(self, width, height):
        """Renders at width x height pixels (1..16384 each) from the next frame
        on; for a window, call it when the window's size changes.
        Raises TypeError or ValueError for bad sizes."""
        width, height = _size(width, height)
        self._ready().galaxy_resize(width, height)
        self.width, self.height = width, height

    def set_mode(self, mode):
        """Selects the scene: 0-3, or a name as galaxy-render takes it ("solar",
        "solar_system", "galaxy", "blackhole", "black_hole", "asteroids",
        "asteroid_field"; case, "_" and "-" ignored). A new scene loads its own
        camera. Raises ValueError for an unknown scene, TypeError for another type."""
        mode = _mode_number(mode)
        self._ready().galaxy_set_mode(mode)
        self._mode = mode

    def set_quality(self, quality):
        """0, 1 or 2: how many stars, particles and rocks; a change regenerates
        them. Raises ValueError out of range, TypeError for a non-integer."""
        quality = _int(quality, "quality", 0, MAX_QUALITY)
        self._ready().galaxy_set_quality(quality)
        self._quality = quality

    def set_time_scale(self, scale):
        """Simulated seconds per wall second, 0..100; 0 freezes time.
        Raises ValueError out of range or not finite, TypeError for a non-number."""
        scale = _real(scale, "time scale", 0.0, MAX_TIME_SCALE)
        self._ready().galaxy_set_time_scale(scale)
        self._time_scale = scale

    def set_camera(self, yaw, pitch, distance):
        """Sets the orbit camera aimed at the origin: yaw and pitch in radians
        (pitch -1.5..1.5), distance in world units (1.2..20000). The eye sits at
        distance * (cos yaw * cos pitch, sin yaw * cos pitch, sin pitch).
        Raises ValueError out of range or not finite, TypeError for a non-number."""
        yaw = _real(yaw, "yaw")
        pitch = _real(pitch, "pitch", -MAX_PITCH, MAX_PITCH)
        distance = _real(distance, "distance", MIN_DISTANCE, MAX_DISTANCE)
        self._ready().galaxy_set_camera(yaw, pitch, distance)

    def adjust_camera(self, yaw_change=0.0, pitch_change=0.0, zoom=1.0):
        """Moves the camera by steps: yaw and pitch changes in radians, zoom a
        factor above 0 on the distance (below 1 closer). The library keeps the
        pitch within -1.5..1.5 and the distance within 1.2..20000.
        Raises ValueError for values not finite or a zoom not above 0,
        TypeError for a non-number."""
        yaw_change = _real(yaw_change, "yaw change")
        pitch_change = _real(pitch_change, "pitch change")
        zoom = _real(zoom, "zoom")
        if zoom <= 0.0:
            raise ValueError(f"zoom must be above 0, not {zoom}")
        self._ready().galaxy_adjust_camera(yaw_change, pitch_change, zoom)

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
        The size is in self.width and self.height. Raises GalaxyError when the
        engine is closed or the library fails."""
        addr, w, h, stride = self._readback_raw()
        if stride == w * 4:
            return ctypes.string_at(addr, w * h * 4)
        return b"".join(ctypes.string_at(addr + y * stride, w * 4) for y in range(h))

    def readback_array(self):
        """The last frame as a writable NumPy uint8 array of shape (height, width, 4).
        Raises ImportError without NumPy, GalaxyError as readback() does."""
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
        """Writes the last frame as an RGBA PNG file at path (a str, bytes or
        os.PathLike ending in .png, any case). A file is written under a
        temporary name and renamed over the old one, so a failure leaves no
        partial file; a link's target is replaced, not the link; a device or
        FIFO gets the bytes written into it.

        Raises ValueError for another extension, an OSError subclass naming
        path for file errors (FileNotFoundError for a missing directory,
        IsADirectoryError, PermissionError...), GalaxyError when the engine is
        closed or the library fails."""
        lib = self._ready()
        path = os.fsdecode(os.fspath(path))
        target = os.path.realpath(path)  # a link's target; a dangling link's is created
        try:
            st = os.stat(target)
        except FileNotFoundError:
            st = None
        except OSError as e:
            raise _os_error(e.errno, path) from None
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise _os_error(errno.EISDIR, path)
        special = st is not None and not stat.S_ISREG(st.st_mode)
        if not special and not path.lower().endswith(".png"):
            raise ValueError(f"screenshot writes PNG files: {path!r} must end in .png")
        try:
            if special:
                fd, tmp = tempfile.mkstemp(prefix="halvenor-shot-", suffix=".png")
            else:
                tmp = f"{target}.{os.getpid()}.tmp"
                fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except OSError as e:
            raise _os_error(e.errno, path) from None
        os.close(fd)
        try:
            ctypes.set_errno(0)
            if lib.galaxy_screenshot(os.fsencode(tmp)) != 0:
                err, text = ctypes.get_errno(), _error_text()
                if err and text == "screenshot: stbi_write_png failed":  # a full disk, say
                    raise _os_error(err, path)
                raise GalaxyError(text)
            try:
                if special:
                    with open(tmp, "rb") as src, open(path, "wb") as dst:
                        dst.write(src.read())
                else:
                    if st is not None:
                        os.chmod(tmp, stat.S_IMODE(st.st_mode))
                    os.replace(tmp, target)
            except OSError as e:
                raise _os_error(e.errno, path) from None
        finally:
            if os.path.lexists(tmp):  # renamed away on success
                os.unlink(tmp)
