"""The ctypes binding against the built library (HALVENOR_GALAXY_LIB, set by CTest)."""
import os
import struct
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


def small(mode=0):
    g = hg.Galaxy(W, H)
    g.set_quality(0)
    g.set_mode(mode)
    return g


class Binding(unittest.TestCase):
    def tearDown(self):
        if hg._live is not None:
            hg._live.close()

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
        with small() as g, tempfile.TemporaryDirectory() as d:
            g.frame()
            with self.assertRaises(hg.GalaxyError) as cm:
                g.screenshot(os.path.join(d, "missing", "x.png"))
            self.assertNotEqual(str(cm.exception), "no error")
            self.assertEqual(str(cm.exception), hg._error_text())
        with self.assertRaises(hg.GalaxyError) as cm:
            hg.Galaxy(100000, 8)
        self.assertNotEqual(str(cm.exception), "no error")

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

    def test_bad_arguments_raise_before_the_library(self):
        with small() as g:
            for call in (lambda: g.set_mode(4), lambda: g.set_mode("nebula"),
                         lambda: g.set_mode(True), lambda: g.set_quality(3),
                         lambda: g.resize(0, 10)):
                with self.subTest(call=call):
                    self.assertRaises(ValueError, call)
        self.assertRaises(ValueError, hg.Galaxy, 0, 0)

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
