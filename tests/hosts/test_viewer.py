"""galaxy-viewer in a private Xvfb: input through xdotool, the window's pixels
read back with XGetImage (ctypes), checked for the change each input asks for.

Exits 77 (skipped) when no X server can be started. Run by CTest with
GALAXY_VIEWER set to the built executable."""
import ctypes
import ctypes.util
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

VIEWER = os.environ.get("GALAXY_VIEWER", "galaxy-viewer")
W, H = 160, 120
TIMEOUT = 60.0  # per wait; a frame takes a fraction of a second on lavapipe


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int),
                ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int),
                ("red_mask", ctypes.c_ulong), ("green_mask", ctypes.c_ulong),
                ("blue_mask", ctypes.c_ulong)]


class Display:
    """Just enough Xlib to read a window's pixels."""

    def __init__(self, name):
        self.x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XGetImage.restype = ctypes.POINTER(XImage)
        self.x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                     ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.x.XGetGeometry.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 7
        self.x.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
        self.x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.dpy = self.x.XOpenDisplay(name.encode())
        if not self.dpy:
            raise OSError(f"cannot open display {name}")

    def grab(self, win):
        """The window as (width, height, list of 0xRRGGBB)."""
        root, x, y, w, h, bw, depth = (ctypes.c_ulong(), ctypes.c_int(), ctypes.c_int(),
                                       ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint(),
                                       ctypes.c_uint())
        self.x.XGetGeometry(self.dpy, win, *(ctypes.byref(v) for v in (root, x, y, w, h, bw, depth)))
        img = self.x.XGetImage(self.dpy, win, 0, 0, w.value, h.value, 0xFFFFFFFF, 2)  # ZPixmap
        if not img:
            raise OSError("XGetImage failed")
        im = img.contents
        if im.bits_per_pixel != 32 or im.byte_order != 0:
            raise OSError("expected a 32-bit little-endian visual")
        raw = ctypes.string_at(im.data, im.bytes_per_line * im.height)
        mask = im.red_mask | im.green_mask | im.blue_mask
        px = []
        for row in range(im.height):
            words = struct.unpack_from(f"<{im.width}I", raw, row * im.bytes_per_line)
            px.extend(v & mask for v in words)
        size = (im.width, im.height)
        self.x.XDestroyImage(img)
        return size, px

    def close(self):
        self.x.XCloseDisplay(self.dpy)


def lit(px):
    """Fraction of pixels brighter than the background."""
    return sum(1 for v in px if max(v >> 16, (v >> 8) & 255, v & 255) > 40) / len(px)


def differing(a, b):
    return sum(1 for p, q in zip(a, b) if p != q) / len(a)


def start_xvfb():
    """A private server; its display name, or None when none can be started."""
    if not shutil.which("Xvfb"):
        return None, None
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "640x480x24",
                             "-nolisten", "tcp"], pass_fds=(w,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    with os.fdopen(r) as f:
        number = f.readline().strip()  # empty when the server died
    if not number:
        proc.wait()
        return None, None
    return proc, ":" + number


class Viewer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cwd = tempfile.mkdtemp()
        cls.log = open(os.path.join(cls.cwd, "viewer.log"), "w+")
        env = dict(os.environ, DISPLAY=DISPLAY)
        cls.proc = subprocess.Popen([VIEWER, "-s", f"{W}x{H}", "-q", "0"], cwd=cls.cwd, env=env,
                                    stdout=cls.log, stderr=subprocess.STDOUT)
        cls.env = env
        cls.win = None
        deadline = time.time() + TIMEOUT
        while time.time() < deadline and cls.proc.poll() is None:
            r = cls.xdotool("search", "--name", "^halvenor-galaxy")
            if r.returncode == 0 and r.stdout.split():
                cls.win = int(r.stdout.split()[0])
                break
            time.sleep(0.2)

    @classmethod
    def tearDownClass(cls):
        if cls.proc.poll() is None:
            cls.proc.kill()
            cls.proc.wait()
        cls.log.seek(0)
        text = cls.log.read()
        cls.log.close()
        shutil.rmtree(cls.cwd, ignore_errors=True)
        sys.stdout.write(text)
        if "vulkan:" in text:
            raise AssertionError("Vulkan validation messages from the viewer (above)")

    @classmethod
    def xdotool(cls, *args):
        return subprocess.run(["xdotool", *args], env=cls.env, capture_output=True, text=True,
                              timeout=30)

    def key(self, name):
        self.xdotool("key", "--window", str(self.win), name)

    def title(self):
        return self.xdotool("getwindowname", str(self.win)).stdout.strip()

    def wait_for(self, what, check):
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            self.assertIsNone(self.proc.poll(), "the viewer quit")
            value = check()
            if value:
                return value
            time.sleep(0.25)
        self.fail(f"timed out waiting for {what}; title: {self.title()}")

    def grab(self):
        return X.grab(self.win)[1]

    def settled_grab(self):
        """A picture that stays the same over a few frames."""
        def same_twice():
            a = self.grab()
            time.sleep(1.0)
            b = self.grab()
            return b if a == b else None
        return self.wait_for("a still picture", same_twice)

    def test_interaction(self):
        self.assertIsNotNone(self.win, "no viewer window")
        self.wait_for("solar system in the title", lambda: "solar system |" in self.title())
        solar = self.wait_for("a lit picture", lambda: (lambda p: p if lit(p) > 0.01 else None)(self.grab()))

        self.key("2")
        self.wait_for("galaxy in the title", lambda: "galaxy |" in self.title())
        self.wait_for("the galaxy on screen", lambda: differing(self.grab(), solar) > 0.2)

        # Paused, the picture holds still, so a change after the drag is the drag's.
        self.key("space")
        self.wait_for("paused in the title", lambda: "paused" in self.title())
        before = self.settled_grab()
        self.xdotool("mousemove", "--window", str(self.win), "60", "60", "mousedown", "1",
                     "mousemove", "--window", str(self.win), "120", "40", "mouseup", "1")
        self.wait_for("the camera to orbit", lambda: differing(self.grab(), before) > 0.05)

        # Screenshots follow the window size through galaxy_resize.
        # What the window shows is what the engine rendered, before and after a
        # resize (paused, so every frame is the same).
        for n, size in ((1, (W, H)), (2, (200, 150))):
            if size != (W, H):
                self.xdotool("windowsize", str(self.win), *map(str, size))
                self.wait_for("the resize", lambda: X.grab(self.win)[0] == size)
            shown = self.settled_grab()
            name = f"galaxy_{n:04d}.png"
            self.key("s")
            self.wait_for(name, lambda: png_size(self.cwd, name) == size)
            time.sleep(0.5)  # let the writer finish
            rendered_size, rendered = png_rgb(os.path.join(self.cwd, name))
            self.assertEqual(rendered_size, size)
            off = differing(rendered, shown)
            self.assertEqual(off, 0.0, f"{off:.1%} of the window differs from {name}")

        # q quits, like most viewers (quality moved to z x c).
        self.key("q")
        self.assertEqual(self.proc.wait(timeout=TIMEOUT), 0)

    # Runs before test_interaction (alphabetical order), which quits the viewer.
    def test_identity_pid_class_and_short_title(self):
        self.assertIsNotNone(self.win, "no viewer window")
        for how in (["--pid", str(self.proc.pid)], ["--classname", "^galaxy-viewer$"],
                    ["--class", "^Galaxy-viewer$"]):
            r = self.xdotool("search", *how)
            self.assertIn(str(self.win), r.stdout.split(), how)
        title = self.wait_for("the status in the title", lambda: (lambda t: t if " ms" in t else None)(self.title()))
        # scene, quality, speed and frame time; the keys are on --help and h
        self.assertLess(len(title), 70, title)


class Options(unittest.TestCase):
    """The command line, checked before any display is opened."""

    def viewer(self, *args):
        env = dict(os.environ, DISPLAY="")
        return subprocess.run([VIEWER, *args], env=env, capture_output=True, text=True, timeout=60)

    def test_bad_values_name_the_choices(self):
        for args, words in ((["--mode=9"], "bad mode '9': use solar, galaxy, blackhole, asteroids"),
                            (["-q", "3"], "bad quality '3': use 0, 1 or 2"),
                            (["--camera=0,0,0.5"], "distance 1.2..20000"),
                            (["--size", "0x5"], "each side 1..16384"),
                            (["--frames"], "needs a value"),
                            (["--bogus"], "unknown option")):
            with self.subTest(args=args):
                r = self.viewer(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(words, r.stderr)

    def test_same_syntax_as_galaxy_render(self):
        # Everything parses; only the missing display stops it.
        r = self.viewer("--frames=5", "--mode=black_hole", "--camera", "0.7,0.2,14", "-t", "2", "--quality=0")
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot open X display", r.stderr)
        r = self.viewer("--version")
        self.assertEqual((r.returncode, r.stdout), (0, "halvenor-galaxy 1.0.0\n"))
        r = self.viewer("--help")
        self.assertIn("z x c      quality 0, 1, 2", r.stdout)
        self.assertIn("Esc, q     quit", r.stdout)


def png_rgb(path):
    """An 8-bit RGBA PNG (what galaxy_screenshot writes) as a list of 0xRRGGBB."""
    with open(path, "rb") as f:
        data = f.read()
    pos, idat, (w, h) = 8, b"", struct.unpack(">II", data[16:24])
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + n]
        pos += 12 + n
    raw, stride, bpp = zlib.decompress(idat), w * 4, 4
    prev, out = bytearray(stride), []
    for y in range(h):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                pred = a if pa <= pb and pa <= pc else b if pb <= pc else c
                line[i] = (line[i] + pred) & 255
        out.extend((line[i] << 16) | (line[i + 1] << 8) | line[i + 2] for i in range(0, stride, 4))
        prev = line
    return (w, h), out


def png_size(d, name):
    path = os.path.join(d, name)
    try:
        with open(path, "rb") as f:
            head = f.read(24)
    except OSError:
        return None
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


if __name__ == "__main__":
    if not shutil.which("xdotool"):
        print("skipped: xdotool not installed")
        sys.exit(77)
    server, DISPLAY = start_xvfb()
    if server is None:
        print("skipped: cannot start Xvfb")
        sys.exit(77)
    try:
        X = Display(DISPLAY)
        result = unittest.main(exit=False).result
        X.close()
    finally:
        server.terminate()
        server.wait()
    sys.exit(0 if result.wasSuccessful() else 1)
