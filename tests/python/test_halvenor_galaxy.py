"""The ctypes binding against the built library (HALVENOR_GALAXY_LIB, set by CTest)."""
import gc
import math
import os
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
import halvenor_galaxy as hg  # noqa: E402

try:
    import numpy
except ImportError:
    numpy = None

W, H = 32, 24
HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.join(HERE, "..", "..", "python")


class Index:
    """An integer that is not an int, as NumPy's are: it has only __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def small(mode=0):
    g = hg.Galaxy(W, H)
    g.set_quality(0)
    g.set_mode(mode)
    return g


class Binding(unittest.TestCase):
    def tearDown(self):
        if hg._owner is not None:
            hg._release(hg._lib, hg._owner)

    def test_version(self):
        self.assertEqual(hg.version(), "1.0.0")

    def test_readback_is_rgba_rows_of_the_current_size(self):
        with small() as g:
            g.frame()
            self.assertEqual(len(g.readback()), W * H * 4)
            g.resize(40, 30)
            g.frame()
            self.assertEqual(len(g.readback()), 40 * 30 * 4)
            self.assertEqual((g.width, g.height), (40, 30))

    def test_settings_reach_the_library(self):
        with small() as g:
            g.frame()
            solar = g.readback()
            g.set_mode("blackhole")
            g.frame()
            self.assertNotEqual(g.readback(), solar)

    def test_library_failure_carries_its_error_text(self):
        # A window id the server does not know: only the library can tell,
        # and the message is the library's own text, word for word.
        with self.assertRaises(hg.GalaxyError) as cm:
            hg.Galaxy(W, H, window=0x7fffff01)
        self.assertEqual(str(cm.exception), "CreateSwapChainForHwnd failed: 0x887A0001")

    def test_screenshot_file_errors_are_os_errors_with_the_path(self):
        with small() as g, tempfile.TemporaryDirectory() as d:
            g.frame()
            os.mkdir(os.path.join(d, "adir.png"))
            cases = [
                (os.path.join(d, "missing", "x.png"), FileNotFoundError),
                (os.path.join(d, "adir.png"), IsADirectoryError),
                (os.path.join(d, "x.jpg"), ValueError),
            ]
            for path, error in cases:
                with self.subTest(path=os.path.basename(path)), self.assertRaises(error) as cm:
                    g.screenshot(path)
                if issubclass(error, OSError):
                    self.assertEqual(cm.exception.filename, path)
                    self.assertTrue(cm.exception.strerror)
            self.assertEqual(os.listdir(d), ["adir.png"], "nothing written, no temporary file left")

    def test_screenshot_that_cannot_be_written_whole_keeps_the_old_file(self):
        # A file size limit fails the PNG writer's writes as a full disk would.
        with small() as g, tempfile.TemporaryDirectory() as d:
            g.frame()
            path = os.path.join(d, "old.png")
            with open(path, "wb") as f:
                f.write(b"old")
            soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100, hard))
            try:
                with self.assertRaises(OSError) as cm:
                    g.screenshot(path)
            finally:
                resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
                signal.signal(signal.SIGXFSZ, handler)
            self.assertEqual(cm.exception.filename, path)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), b"old")
            self.assertEqual(os.listdir(d), ["old.png"])

    def test_screenshot_replaces_a_link_target_not_the_link(self):
        with small() as g, tempfile.TemporaryDirectory() as d:
            g.frame()
            real, link = os.path.join(d, "real.png"), os.path.join(d, "link.png")
            with open(real, "wb") as f:
                f.write(b"old")
            os.symlink("real.png", link)
            g.screenshot(link)
            self.assertTrue(os.path.islink(link))
            with open(real, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            self.assertEqual(sorted(os.listdir(d)), ["link.png", "real.png"])

    def test_screenshot_is_a_png(self):
        with small(3) as g, tempfile.TemporaryDirectory() as d:
            g.frame()
            path = os.path.join(d, "shot.png")
            g.screenshot(path)
            with open(path, "rb") as f:
                head = f.read(24)
            self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(struct.unpack(">II", head[16:24]), (W, H))

    def test_one_engine_at_a_time_and_none_after_close(self):
        with small() as g:
            with self.assertRaises(hg.GalaxyError):
                hg.Galaxy(W, H)
        self.assertTrue(g.closed)
        with self.assertRaises(hg.GalaxyError):
            g.frame()
        with self.assertRaises(hg.GalaxyError):
            g.readback()
        g.close()  # harmless twice
        with hg.Galaxy(W, H) as again:  # the slot is free again
            again.frame()

    def test_a_dropped_galaxy_is_released(self):
        for how in ("del", "rebound"):
            with self.subTest(how):
                g = small()
                g.frame()
                if how == "del":
                    del g
                else:
                    g = None  # noqa: F841
                gc.collect()
                with hg.Galaxy(W, H) as again:
                    again.frame()
        # Never closed at all: released at exit, quietly.
        r = subprocess.run([sys.executable, "-c", "import halvenor_galaxy as hg; g = hg.Galaxy(8, 8); g.frame()"],
                           capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        # Still referenced: the message shows which one to close.
        g = small()
        with self.assertRaises(hg.GalaxyError) as cm:
            hg.Galaxy(W, H)
        self.assertIn(repr(g), str(cm.exception))

    def test_integers_through_index_and_every_mode_spelling(self):
        with small() as g:
            g.set_time_scale(0)  # the same picture every frame of a scene
            want = {}
            for mode, names in enumerate((("solar", "solar_system", "SolarSystem"), ("galaxy", "Galaxy"),
                                          ("blackhole", "black_hole", "Black-Hole"),
                                          ("asteroids", "asteroid_field", "asteroidfield"))):
                for m in (mode, Index(mode), *names):
                    with self.subTest(mode=m):
                        g.set_mode(m)
                        g.frame()
                        want.setdefault(mode, g.readback())
                        self.assertEqual(g.readback(), want[mode])
            g.set_quality(Index(0))
            g.resize(Index(40), Index(30))
            g.frame()
            self.assertEqual((g.width, g.height), (40, 30))
        with hg.Galaxy(Index(W), Index(H)) as g:
            self.assertEqual((g.width, g.height), (W, H))
        if numpy is not None:
            with hg.Galaxy(numpy.int64(W), numpy.int32(H)) as g:
                g.set_mode(numpy.int64(2))
                g.resize(numpy.int64(320), numpy.int16(180))
                g.set_time_scale(numpy.float32(2.5))
                g.set_camera(numpy.float64(0.5), 0, numpy.float32(14))
                self.assertIn("mode='black_hole'", repr(g))

    def test_bad_arguments_raise_before_the_library(self):
        nan, inf = math.nan, math.inf
        with small(1) as g:
            g.set_time_scale(0)  # a still clock: any change would show
            g.frame()
            before = g.readback()
            # (call, exception, words of the message)
            cases = [
                (lambda: g.set_mode(4), ValueError, "solar, galaxy, blackhole, asteroids"),
                (lambda: g.set_mode("nebula"), ValueError, "solar_system, black_hole, asteroid_field"),
                (lambda: g.set_mode(True), TypeError, "mode"),
                (lambda: g.set_mode(1.0), TypeError, "mode"),
                (lambda: g.set_quality(3), ValueError, "quality must be 0..2"),
                (lambda: g.set_quality(1.0), TypeError, "quality must be an integer 0..2"),
                (lambda: g.resize(0, 10), ValueError, "width must be 1..16384"),
                (lambda: g.resize(99999, 10), ValueError, "width must be 1..16384"),
                (lambda: g.resize(10, 16385), ValueError, "height must be 1..16384"),
                (lambda: g.set_time_scale(nan), ValueError, "finite"),
                (lambda: g.set_time_scale(101), ValueError, "time scale must be 0..100"),
                (lambda: g.set_time_scale(-1), ValueError, "time scale must be 0..100"),
                (lambda: g.set_time_scale("2"), TypeError, "time scale must be a number"),
                (lambda: g.set_camera(nan, 0.2, 14), ValueError, "yaw must be finite"),
                (lambda: g.set_camera(0.7, inf, 14), ValueError, "pitch must be finite"),
                (lambda: g.set_camera(0.7, 1.6, 14), ValueError, "pitch must be -1.5..1.5"),
                (lambda: g.set_camera(0.7, 0.2, 1e9), ValueError, "distance must be 1.2..20000"),
                (lambda: g.set_camera(0.7, 0.2, 0), ValueError, "distance must be 1.2..20000"),
                (lambda: g.adjust_camera(-inf, 0, 1), ValueError, "yaw change must be finite"),
                (lambda: g.adjust_camera(0, nan, 1), ValueError, "pitch change must be finite"),
                (lambda: g.adjust_camera(0, 0, 0), ValueError, "zoom must be above 0"),
                (lambda: g.adjust_camera(0, 0, inf), ValueError, "zoom must be finite"),
                (lambda: g.screenshot(os.path.join(tempfile.gettempdir(), "x.gif")), ValueError, ".png"),
            ]
            for call, error, words in cases:
                with self.subTest(words=words), self.assertRaises(error) as cm:
                    call()
                self.assertIn(words, str(cm.exception))
            self.assertEqual((g.width, g.height), (W, H))
            g.frame()
            self.assertTrue(g.readback() == before, "a refused call reached the library")
        for size in ((0, 0), (99999, 10), (10, -1)):
            self.assertRaises(ValueError, hg.Galaxy, *size)
        self.assertRaises(TypeError, hg.Galaxy, 32.0, 24)

    def test_version_repr_and_docstrings(self):
        with open(os.path.join(PYTHON_DIR, "pyproject.toml")) as f:
            declared = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
        self.assertEqual(hg.__version__, declared)
        self.assertEqual(hg.version(), hg.__version__)
        with small(2) as g:
            g.set_quality(0)
            self.assertEqual(repr(g), "<Galaxy 32x24 offscreen, mode='black_hole', quality=0, time_scale=1>")
        self.assertEqual(repr(g), "<Galaxy 32x24 offscreen, closed>")
        public = [getattr(hg.Galaxy, n) for n in dir(hg.Galaxy) if not n.startswith("_")]
        public += [hg.Galaxy.__init__, hg.Galaxy, hg.version, hg.load_library]
        for obj in public:
            with self.subTest(obj):
                self.assertTrue((obj.__doc__ or "").strip(), "no docstring")

    def test_example_writes_the_files_galaxy_render_names(self):
        with tempfile.TemporaryDirectory() as d:
            r = subprocess.run([sys.executable, os.path.join(PYTHON_DIR, "example.py"), d, "32x18"],
                               capture_output=True, text=True, timeout=300,
                               env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(sorted(os.listdir(d)), ["asteroid_field.png", "black_hole.png", "galaxy.png",
                                                     "solar_system.png"])

    def test_missing_library_is_named(self):
        with self.assertRaises(hg.GalaxyError) as cm:
            hg.load_library("/nonexistent/libhalvenor-galaxy.so")
        self.assertIn("/nonexistent/libhalvenor-galaxy.so", str(cm.exception))

    @unittest.skipIf(numpy is None, "NumPy not installed")
    def test_readback_array_matches_bytes(self):
        with small(1) as g:
            g.frame()
            a = g.readback_array()
            self.assertEqual(a.shape, (H, W, 4))
            self.assertEqual(a.tobytes(), g.readback())


if __name__ == "__main__":
    unittest.main()
