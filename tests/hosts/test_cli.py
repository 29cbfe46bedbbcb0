"""galaxy-render: command-line checks, bad input, and the files it writes.

Run by CTest with GALAXY_RENDER set to the built executable."""
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

RENDER = os.environ.get("GALAXY_RENDER", "galaxy-render")
FAST = ["-q", "0", "-T", "0"]


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG")
    return struct.unpack(">II", head[16:24])


def run(args, cwd):
    r = subprocess.run([RENDER, *args], cwd=cwd, capture_output=True, text=True, timeout=300)
    # With HALVENOR_VK_VALIDATION=1 the library reports Vulkan misuse this way.
    if "vulkan:" in r.stderr:
        raise AssertionError(f"validation message from {args}:\n{r.stderr}")
    return r


class BadInvocations(unittest.TestCase):
    # (arguments, words the message must contain, exit status)
    CASES = [
        (["--bogus"], "unknown option", 2),
        (["-q"], "needs a value", 2),
        (["-q", "3"], "quality", 2),
        (["-q", "one"], "quality", 2),
        (["-m", "nebula"], "mode", 2),
        (["-m", "4"], "mode", 2),
        (["-s", "0x0"], "size", 2),
        (["-s", "20000x20000"], "size", 2),
        (["-s", "640"], "size", 2),
        (["-s", "64x48x2"], "size", 2),
        (["-c", "0.5,0.4"], "camera", 2),
        (["-c", "0.5,0.4,0"], "camera", 2),
        (["-t", "-1"], "time scale", 2),
        (["-t", "nan"], "time scale", 2),
        (["-T", "1e9"], "time", 2),
        (["-n", "0", "-d", "."], "frame count", 2),
        (["-n", "3"], "--out-dir", 2),
        (["-n", "3", "-d", "missing"], "does not exist", 2),
        (["-o", "missing/a.png"], "does not exist", 2),
        (["-o", "a.png", "-n", "2", "-d", "."], "exclude", 2),
        (["-k", "3", "-d", "."], "--first-frame needs --frames", 2),
        (["-k", "-1", "-n", "2", "-d", "."], "first frame", 2),
        (["-k", "99999", "-n", "2", "-d", "."], "past frame", 2),
        (["-v", "a.mp4"], "--video needs --frames", 2),
        (["-v", "a.mp4", "-n", "2", "-d", "."], "excludes", 2),
        (["-v", "a.mp4", "-n", "2", "-s", "33x24"], "even", 2),
        (["-v", "missing/a.mp4", "-n", "2"], "does not exist", 2),
        (["-v", "a.mp4", "-n", "2", "-r", "0"], "frame rate", 2),
        (["--skip-existing", "-n", "2", "-v", "a.mp4"], "--skip-existing needs", 2),
        (["--skip-existing", "-d", "adir"], "--skip-existing needs", 2),
        (["--skip-existing=yes", "-n", "2", "-d", "adir"], "takes no value", 2),
        # Failures past parsing: the library's error text, and no file left.
        (["-s", "16x16", *FAST, "-o", "a" * 250 + ".png"], "cannot write", 1),
        (["-s", "16x16", *FAST, "-o", "adir"], "cannot write", 1),
    ]

    def test_each_is_refused_without_output(self):
        for args, words, status in self.CASES:
            with self.subTest(args=" ".join(args)[:60]), tempfile.TemporaryDirectory() as d:
                os.mkdir(os.path.join(d, "adir"))
                r = run(args, d)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(words, r.stderr)
                self.assertEqual(sorted(os.listdir(d)), ["adir"])
                self.assertEqual(os.listdir(os.path.join(d, "adir")), [])


class Output(unittest.TestCase):
    def test_still_is_a_png_of_the_size_asked(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["-s", "48x32", *FAST, "-m", "blackhole", "-o", "still.png"], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(os.listdir(d), ["still.png"])
            self.assertEqual(png_size(os.path.join(d, "still.png")), (48, 32))

    def test_sequence_is_frame_exact(self):
        # At 100x speed a frame is 10 simulated seconds: any wall-clock leak
        # into the clock would turn the galaxy differently in the two runs.
        runs = []
        for _ in range(2):
            d = tempfile.mkdtemp()
            self.addCleanup(lambda p=d: subprocess.run(["rm", "-rf", p]))
            r = run(["-s", "64x48", *FAST, "-m", "galaxy", "-t", "100", "-n", "3", "-d", d], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("frame 3/3", r.stderr)
            names = sorted(os.listdir(d))
            self.assertEqual(names, ["frame_0000.png", "frame_0001.png", "frame_0002.png"])
            frames = []
            for n in names:
                self.assertEqual(png_size(os.path.join(d, n)), (64, 48))
                with open(os.path.join(d, n), "rb") as f:
                    frames.append(f.read())
            runs.append(frames)
        self.assertEqual(runs[0], runs[1])
        self.assertTrue(runs[0][0] != runs[0][1], "the galaxy did not move between frames")

    def test_frame_is_the_same_from_any_first_frame(self):
        # Odd steps and a start past one full 10 s step: a later first frame
        # reaches its time through other frames than the whole run took.
        with tempfile.TemporaryDirectory() as d:
            for sub, extra in (("whole", ["-n", "6"]), ("tail", ["-n", "2", "-k", "4"])):
                os.mkdir(os.path.join(d, sub))
                r = run(["-s", "48x32", "-q", "0", "-m", "galaxy", "-t", "37.3", "-T", "12.34",
                         *extra, "-d", sub], d)
                self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(sorted(os.listdir(os.path.join(d, "tail"))), ["frame_0004.png", "frame_0005.png"])
            for n in ("frame_0004.png", "frame_0005.png"):
                with open(os.path.join(d, "whole", n), "rb") as a, open(os.path.join(d, "tail", n), "rb") as b:
                    self.assertTrue(a.read() == b.read(), n)

    @unittest.skipIf(shutil.which("ffprobe") is None, "ffmpeg not installed")
    def test_video_has_every_frame(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["-s", "64x48", *FAST, "-m", "galaxy", "-n", "7", "-r", "25", "-v", "seq.mp4"], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(os.listdir(d), ["seq.mp4"])
            probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                                    "-show_entries", "stream=nb_read_frames,width,height,r_frame_rate",
                                    "-of", "default=noprint_wrappers=1", "seq.mp4"],
                                   cwd=d, capture_output=True, text=True, check=True).stdout
            self.assertEqual(sorted(probe.split()), ["height=48", "nb_read_frames=7", "r_frame_rate=25/1",
                                                     "width=64"])

    def test_video_without_ffmpeg_says_so(self):
        with tempfile.TemporaryDirectory() as d:
            r = subprocess.run([shutil.which(RENDER),
                                "-s", "64x48", *FAST, "-n", "2", "-v", "seq.mp4"], cwd=d,
                               env=dict(os.environ, PATH=d), capture_output=True, text=True, timeout=300)
            self.assertEqual(r.returncode, 1)
            self.assertIn("needs ffmpeg", r.stderr)
            self.assertEqual(os.listdir(d), [])

    def test_skip_existing_renders_only_what_is_not_whole(self):
        # What a killed or failed task can leave, one kind per frame, between
        # frames left whole: the re-run must render exactly the damaged ones,
        # each the same file an unbroken run writes, and never touch the rest.
        def cut_short(b): return b[:len(b) // 2]
        def flipped(b): return b[:len(b) // 2] + bytes([b[len(b) // 2] ^ 0x10]) + b[len(b) // 2 + 1:]
        def rows_missing(b):
            # Well-formed chunks with valid CRCs whose pixels stop half way.
            rows = 32 // 2 * (1 + 48 * 4)
            data = zlib.compress(bytes(rows))
            chunk = lambda kind, body: (struct.pack(">I", len(body)) + kind + body +
                                        struct.pack(">I", zlib.crc32(kind + body)))
            return b[:33] + chunk(b"IDAT", data) + chunk(b"IEND", b"")
        damage = {0: None, 1: cut_short, 3: flipped, 4: "other size", 5: rows_missing}
        kept = (2, 6)
        args = ["-s", "48x32", "-q", "0", "-m", "galaxy", "-t", "37.3", "-T", "12.34", "-n", "7"]
        with tempfile.TemporaryDirectory() as d:
            whole, part = os.path.join(d, "whole"), os.path.join(d, "part")
            os.mkdir(whole)
            os.mkdir(part)
            r = run([*args, "-d", whole], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            names = sorted(os.listdir(whole))
            frames = []
            for n in names:
                with open(os.path.join(whole, n), "rb") as f:
                    frames.append(f.read())
            for i, how in damage.items():
                path = os.path.join(part, names[i])
                if how == "other size":
                    self.assertEqual(run(["-s", "24x16", "-q", "0", "-m", "galaxy", "-o", path], d).returncode, 0)
                elif how:
                    with open(path, "wb") as f:
                        f.write(how(frames[i]))
            for i in kept:
                shutil.copy(os.path.join(whole, names[i]), part)
            before = {i: os.stat(os.path.join(part, names[i])).st_ino for i in kept}
            r = run([*args, "-d", part, "--skip-existing"], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(sorted(os.listdir(part)), names)
            for i, n in enumerate(names):
                with open(os.path.join(part, n), "rb") as f:
                    self.assertTrue(f.read() == frames[i], n)
            self.assertEqual({i: os.stat(os.path.join(part, names[i])).st_ino for i in kept}, before)
            self.assertEqual([line.split()[1] for line in r.stderr.splitlines() if line.endswith("on disk")],
                             ["3/7", "7/7"])

    def test_stopped_sequence_keeps_only_true_frames(self):
        # SIGTERM (a cancelled job) mostly lands in the wait before a frame,
        # cutting that frame's step short: whatever is on disk afterwards must
        # still be the unbroken run's frames, so a re-run can keep it.
        args = ["-s", "48x32", "-q", "0", "-m", "galaxy", "-t", "37.3", "-n", "30"]
        with tempfile.TemporaryDirectory() as d:
            os.mkdir(os.path.join(d, "whole"))
            r = run([*args, "-d", "whole"], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            for stop_after in (2, 5, 9):
                out = os.path.join(d, f"stopped{stop_after}")
                os.mkdir(out)
                p = subprocess.Popen([RENDER, *args, "-d", out], stderr=subprocess.PIPE, text=True)
                while not os.path.exists(os.path.join(out, f"frame_{stop_after - 1:04d}.png")) and p.poll() is None:
                    time.sleep(0.005)
                p.send_signal(signal.SIGTERM)
                err = p.communicate(timeout=60)[1]
                self.assertEqual(p.returncode, 130, err)
                names = sorted(os.listdir(out))
                self.assertLess(len(names), 30)
                for n in names:
                    with open(os.path.join(out, n), "rb") as a, open(os.path.join(d, "whole", n), "rb") as b:
                        self.assertTrue(a.read() == b.read(), f"{n} after a stop at frame {stop_after}")

    def test_camera_is_yaw_pitch_distance(self):
        # The black hole's own preset, given explicitly, is the same picture.
        with tempfile.TemporaryDirectory() as d:
            shots = {}
            for name, cam in (("preset", []), ("same", ["-c", "0.7,0.2,14"]),
                              ("farther", ["-c", "0.7,0.2,20"])):
                r = run(["-s", "48x32", *FAST, "-m", "blackhole", *cam, "-o", name + ".png"], d)
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(os.path.join(d, name + ".png"), "rb") as f:
                    shots[name] = f.read()
            self.assertEqual(shots["same"], shots["preset"])
            self.assertTrue(shots["farther"] != shots["preset"], "the camera did not move")

    def test_scene_set_names(self):
        with tempfile.TemporaryDirectory() as d:
            # A long directory name: the timing columns still line up.
            sub = os.path.join(d, "a-rather-long-directory-name-for-the-pictures")
            os.mkdir(sub)
            r = run(["-s", "32x24", *FAST, "-d", sub], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(sorted(os.listdir(sub)), ["asteroid_field.png", "black_hole.png",
                                                       "galaxy.png", "solar_system.png"])
            columns = {line.index(" frame ") for line in r.stdout.splitlines()[1:]}
            self.assertEqual(len(columns), 1, r.stdout)


if __name__ == "__main__":
    unittest.main()
