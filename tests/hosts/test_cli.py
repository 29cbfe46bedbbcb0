"""galaxy-render: command-line checks, bad input, and the files it writes.

Run by CTest with GALAXY_RENDER set to the built executable."""
import os
import re
import resource
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import threading
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
        (["-m", "nebula"], "use solar, galaxy, blackhole, asteroids (or solar_system, black_hole", 2),
        (["-m", "4"], "mode", 2),
        (["-s", "0x0"], "size", 2),
        (["-s", "20000x20000"], "size", 2),
        (["-s", "640"], "size", 2),
        (["-s", "64x48x2"], "size", 2),
        (["-c", "0.5,0.4"], "camera", 2),
        (["-c", "0.5,0.4,0"], "camera", 2),
        (["-c", "0.5,0.4,10,7"], "camera", 2),
        # The library's own camera limits, named in the message.
        (["-c", "0,0,1e9"], "pitch -1.5..1.5, distance 1.2..20000", 2),
        (["-c", "0,1.6,10"], "pitch -1.5..1.5", 2),
        (["-c", "nan,0,10"], "camera", 2),
        (["-t", "-1"], "time scale", 2),
        (["-t", "nan"], "time scale", 2),
        (["-T", "1e9"], "time", 2),
        (["-n", "0", "-d", "."], "frame count", 2),
        (["-n", "3"], "--out-dir", 2),
        (["-n", "3", "-d", "missing/sub"], "cannot create missing/sub: No such file or directory", 1),
        (["-n", "3", "-d", "adir/../afile"], "Not a directory", 1),
        (["-o", "missing/a.png"], "cannot write missing/a.png: No such file or directory", 2),
        (["-o", "a.jpg"], "must end in .png", 2),
        (["-o", "adir"], "cannot write adir: Is a directory", 2),
        (["-o", "a.png", "-n", "2", "-d", "."], "exclude", 2),
        (["-k", "3", "-d", "."], "--first-frame needs --frames", 2),
        (["-k", "-1", "-n", "2", "-d", "."], "first frame", 2),
        (["-k", "99999", "-n", "2", "-d", "."], "past frame", 2),
        (["-v", "a.mp4"], "--video needs --frames", 2),
        (["-v", "a.mp4", "-n", "2", "-d", "."], "excludes", 2),
        (["-v", "a.mp4", "-n", "2", "-s", "33x24"], "even", 2),
        (["-v", "missing/a.mp4", "-n", "2"], "No such file or directory", 2),
        (["-v", "a.xyz", "-n", "2"], "must end in .mp4", 2),
        (["-v", "a.mp4", "-n", "2", "-r", "0"], "frame rate", 2),
        (["--skip-existing", "-n", "2", "-v", "a.mp4"], "--skip-existing needs", 2),
        (["--skip-existing", "-d", "adir"], "--skip-existing needs", 2),
        (["--skip-existing=yes", "-n", "2", "-d", "adir"], "takes no value", 2),
        # Failures past parsing: the library's error text, and no file left.
        (["-s", "16x16", *FAST, "-o", "a" * 250 + ".png"], "cannot write", 1),
    ]

    def test_each_is_refused_without_output(self):
        for args, words, status in self.CASES:
            with self.subTest(args=" ".join(args)[:60]), tempfile.TemporaryDirectory() as d:
                os.mkdir(os.path.join(d, "adir"))
                open(os.path.join(d, "afile"), "w").close()
                r = run(args, d)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(words, r.stderr)
                self.assertEqual(sorted(os.listdir(d)), ["adir", "afile"])
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

    def test_failing_ffmpeg_fails_the_run(self):
        # An ffmpeg that takes every frame and then fails (a full disk, a bad
        # codec): status 1 and neither the video nor its temporary file left.
        with tempfile.TemporaryDirectory() as d:
            fake = os.path.join(d, "bin")
            os.mkdir(fake)
            with open(os.path.join(fake, "ffmpeg"), "w") as f:
                f.write("#!/bin/sh\n/bin/cat >/dev/null\nexit 3\n")
            os.chmod(os.path.join(fake, "ffmpeg"), 0o755)
            r = subprocess.run([shutil.which(RENDER), "-s", "64x48", *FAST, "-n", "2", "-v", "seq.mp4"],
                               cwd=d, env=dict(os.environ, PATH=fake), capture_output=True, text=True,
                               timeout=300)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn("ffmpeg failed (exit status 3)", r.stderr)
            self.assertEqual(os.listdir(d), ["bin"])

    def test_options_take_both_forms_and_every_scene_spelling(self):
        with tempfile.TemporaryDirectory() as d:
            shots = []
            for name, args in (("a.png", ["-m", "blackhole", "-s", "32x24", "-o", "a.png"]),
                               ("b.png", ["--mode=black_hole", "--size=32x24", "--output=b.png"]),
                               ("C.PNG", ["--mode", "Black-Hole", "--size", "32x24", "--output", "C.PNG"]),
                               ("d.png", ["-m", "2", "-s", "32x24", "-o", "d.png"])):
                r = run([*FAST, *args], d)
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(os.path.join(d, name), "rb") as f:
                    shots.append(f.read())
            self.assertEqual(shots.count(shots[0]), 4)

    def test_options_without_effect_are_named(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["-s", "16x16", *FAST, "-r", "25", "-t", "3", "-o", "a.png"], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("warning: --fps has no effect without --video", r.stderr)
            self.assertIn("warning: --time-scale has no effect on a still", r.stderr)

    def test_out_dir_is_made_one_level_deep(self):
        with tempfile.TemporaryDirectory() as d:
            for args in (["-n", "1", "-d", "seq"], ["-m", "galaxy", "-d", "set"]):
                r = run(["-s", "16x16", *FAST, *args], d)
                self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(os.listdir(os.path.join(d, "seq")), ["frame_0000.png"])
            self.assertEqual(os.listdir(os.path.join(d, "set")), ["galaxy.png"])

    def test_long_clock_stepping_shows_progress(self):
        # 300 simulated seconds take 30 frames at 0.1 s of wall time each.
        with tempfile.TemporaryDirectory() as d:
            r = run(["-s", "16x16", "-q", "0", "-T", "300", "-o", "late.png"], d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("stepping the clock to 300 s", r.stderr)
            done = re.findall(r"clock (\d+)/(\d+)", r.stderr)
            self.assertTrue(done and done[-1][0] == done[-1][1], r.stderr)

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


def read_fifo(path, into):
    with open(path, "rb") as f:
        into.append(f.read())


class OutputTargets(unittest.TestCase):
    """What -o does to whatever already has the name. Run as root (as CI
    does) the damage would be real: devices are scratch nodes made here with
    mknod, never the system's own."""

    ARGS = ["-s", "24x16", *FAST, "-m", "galaxy", "-o"]

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        r = run([*cls.ARGS, "ref.png"], cls.tmp)
        assert r.returncode == 0, r.stderr
        with open(os.path.join(cls.tmp, "ref.png"), "rb") as f:
            cls.png = f.read()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def render(self, d, target):
        return run([*self.ARGS, target], d)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_files_and_links_are_replaced_whole(self):
        # (name, set-up in the directory, target, (path, expected kind, bytes) afterwards)
        def existing(d):
            with open(os.path.join(d, "old.png"), "wb") as f:
                f.write(b"old picture")
            os.chmod(os.path.join(d, "old.png"), 0o640)

        def link(d):
            existing(d)
            os.symlink("old.png", os.path.join(d, "link.png"))

        def dangling(d):
            os.mkdir(os.path.join(d, "sub"))
            os.symlink("sub/new.png", os.path.join(d, "link.png"))

        cases = [
            ("new file", lambda d: None, "new.png", {"new.png": "png"}),
            ("existing file", existing, "old.png", {"old.png": "png"}),
            ("link to a file", link, "link.png", {"link.png": "link", "old.png": "png"}),
            ("link to nothing yet", dangling, "link.png", {"link.png": "link", "sub": "dir", "sub/new.png": "png"}),
            ("upper-case extension", lambda d: None, "NEW.PNG", {"NEW.PNG": "png"}),
        ]
        for name, setup, target, want in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as d:
                setup(d)
                r = self.render(d, target)
                self.assertEqual(r.returncode, 0, r.stderr)
                found = {}
                for root, dirs, files in os.walk(d):
                    for n in dirs + files:
                        p = os.path.join(root, n)
                        rel = os.path.relpath(p, d)
                        found[rel] = "link" if os.path.islink(p) else "dir" if os.path.isdir(p) else "png"
                        if found[rel] == "png":
                            self.assertTrue(self.read(p) == self.png, f"{rel} is not the picture")
                self.assertEqual(found, want, "temporary files left, or the wrong file replaced")
                if target == "old.png" or target == "link.png" and "old.png" in want:
                    self.assertEqual(stat.S_IMODE(os.stat(os.path.join(d, "old.png")).st_mode), 0o640)

    def test_refused_targets_are_left_alone(self):
        cases = [
            ("directory", lambda d: os.mkdir(os.path.join(d, "x.png")), "x.png", "Is a directory", 2),
            ("missing directory", lambda d: None, "nowhere/x.png", "No such file or directory", 2),
            ("file as directory", lambda d: open(os.path.join(d, "f"), "w").close(), "f/x.png", "Not a directory", 2),
        ]
        if os.geteuid() != 0:  # root writes into a read-only directory all the same
            cases.append(("read-only directory", lambda d: os.mkdir(os.path.join(d, "ro"), 0o555), "ro/x.png",
                          "Permission denied", 1))
        for name, setup, target, words, status in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as d:
                setup(d)
                before = sorted((root, tuple(sorted(files))) for root, _, files in os.walk(d))
                r = self.render(d, target)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(f"cannot write {target}: {words}", r.stderr)
                self.assertEqual(sorted((root, tuple(sorted(files))) for root, _, files in os.walk(d)), before)

    def test_a_full_disk_keeps_the_old_file(self):
        # A file size limit makes the PNG writer's writes fail the way a full
        # disk does; the library's writer does not report them itself.
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "old.png"), "wb") as f:
                f.write(b"old picture")
            r = subprocess.run([RENDER, *self.ARGS, "old.png"], cwd=d, capture_output=True, text=True,
                               timeout=300, preexec_fn=limit)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn("cannot write old.png: File too large", r.stderr)
            self.assertEqual(os.listdir(d), ["old.png"])
            self.assertEqual(self.read(os.path.join(d, "old.png")), b"old picture")

    def test_devices_and_fifos_are_written_in_place(self):
        if os.geteuid() != 0:
            self.skipTest("device nodes need root (CI runs this as root)")
        with tempfile.TemporaryDirectory() as d:
            null, full, fifo = (os.path.join(d, n) for n in ("null", "full", "fifo"))
            os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            os.mknod(full, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
            os.mkfifo(fifo)
            r = self.render(d, "null")
            self.assertEqual(r.returncode, 0, r.stderr)
            r = self.render(d, "full")
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn("cannot write full: No space left on device", r.stderr)
            got = []
            reader = threading.Thread(target=read_fifo, args=(fifo, got))
            reader.start()
            r = self.render(d, "fifo")
            reader.join(timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(got and got[0] == self.png, "the FIFO did not carry the picture")
            for path, dev in ((null, os.makedev(1, 3)), (full, os.makedev(1, 7))):
                st = os.lstat(path)
                self.assertTrue(stat.S_ISCHR(st.st_mode), f"{path} was replaced")
                self.assertEqual(st.st_rdev, dev)
            self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode), "the FIFO was replaced")
            self.assertEqual(sorted(os.listdir(d)), ["fifo", "full", "null"])


if __name__ == "__main__":
    unittest.main()
