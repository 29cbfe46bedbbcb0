"""galaxy-farm and its job script, with Slurm's sbatch and squeue stood in for
by small scripts that run the array's tasks at once, here: the ranges, the
holes, the manifest and the guard against mixing sequences. The real Slurm
runs in scripts/test-slurm.sh.

Run by CTest with GALAXY_RENDER and GALAXY_FARM set."""
import hashlib
import os
import subprocess
import tempfile
import unittest

RENDER = os.environ.get("GALAXY_RENDER", "galaxy-render")
FARM = os.environ["GALAXY_FARM"]
SEQ = ["-m", "galaxy", "-q", "0", "-s", "48x32", "-t", "37.3"]

# sbatch: records its command line, runs each task of --array in turn
# (skipping those in SKIP_TASKS, as if they died) and prints a job id.
FAKE_SBATCH = r'''#!/usr/bin/env bash
echo "$*" >>"$FAKE_LOG"
array="" out=""
while [ $# -gt 0 ]; do
  case $1 in
    --array=*) array=${1#--array=} ;;
    --output=*) out=${1#--output=} ;;
    --*) ;;
    *) break ;;
  esac
  shift
done
script=$1; shift
for part in ${array//,/ }; do
  for t in $(seq ${part%-*} ${part#*-}); do
    [[ " ${SKIP_TASKS:-} " == *" $t "* ]] && continue
    f=${out//%A/42}; f=${f//%a/$t}
    SLURM_ARRAY_TASK_ID=$t sh "$script" "$@" >"$f" 2>&1 || exit 1
  done
done
echo 42
'''
FAKE_SQUEUE = "#!/bin/sh\nexit 0\n"


class Farm(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="galaxy-farm-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.dir])
        bin_dir = os.path.join(self.dir, "bin")
        os.mkdir(bin_dir)
        for name, text in (("sbatch", FAKE_SBATCH), ("squeue", FAKE_SQUEUE)):
            with open(os.path.join(bin_dir, name), "w") as f:
                f.write(text)
            os.chmod(os.path.join(bin_dir, name), 0o755)
        self.log = os.path.join(self.dir, "sbatch.log")
        self.env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"], FAKE_LOG=self.log,
                        GALAXY_RENDER=os.path.abspath(RENDER) if os.sep in RENDER else RENDER)

    def farm(self, *args, skip=""):
        return subprocess.run([FARM, *args], cwd=self.dir, env=dict(self.env, SKIP_TASKS=skip),
                              capture_output=True, text=True, timeout=300)

    def arrays(self):
        """The --array of each sbatch call so far."""
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [w for line in f for w in line.split() if w.startswith("--array=")]

    def frames(self, d):
        out = {}
        for n in sorted(os.listdir(d)):
            if n.startswith("frame_"):
                with open(os.path.join(d, n), "rb") as f:
                    out[n] = f.read()
        return out

    def test_holes_are_found_reported_and_filled(self):
        whole = os.path.join(self.dir, "whole")
        os.mkdir(whole)
        subprocess.run([RENDER, *SEQ, "-n", "7", "-d", whole], check=True, capture_output=True, timeout=300)
        want = self.frames(whole)

        # 7 frames, 3 a task: tasks 0-2, the last one frame 6 alone. Task 1 dies.
        r = self.farm("submit", "-d", "seq", "-n", "7", "-p", "3", "--poll", "0", *SEQ,
                      "--", "--cpus-per-task=2", skip="1")
        self.assertEqual(r.returncode, 1, r.stderr)
        with open(self.log) as f:
            self.assertIn(" --cpus-per-task=2 ", f.read())
        self.assertIn("3 of 7 frames missing", r.stderr)
        self.assertIn(": 3-5\n", r.stderr)
        seq = os.path.join(self.dir, "seq")
        self.assertFalse(os.path.exists(os.path.join(seq, "manifest.sha256")))
        self.assertEqual(sorted(self.frames(seq)), [n for n in want if n not in
                                                    ("frame_0003.png", "frame_0004.png", "frame_0005.png")])

        # The same command again runs only task 1, and the sequence is whole.
        r = self.farm("submit", "-d", "seq", "-n", "7", "-p", "3", "--poll", "0", *SEQ)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.arrays(), ["--array=0-2", "--array=1"])
        self.assertIn("tasks done 1/1, frames on disk 7/7", r.stdout)
        self.assertEqual(self.frames(seq), want)
        with open(os.path.join(seq, "manifest.sha256")) as f:
            manifest = f.read()
        self.assertEqual(manifest, "".join(f"{hashlib.sha256(b).hexdigest()}  {n}\n" for n, b in want.items()))

        # Frames lost later, the last one first: check finds it and drops the
        # manifest; submitted again, the tasks with a hole run and fill only it.
        os.remove(os.path.join(seq, "frame_0006.png"))
        r = self.farm("check", "seq")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("1 of 7 frames missing in seq: 6\n", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(seq, "manifest.sha256")))
        os.remove(os.path.join(seq, "frame_0004.png"))
        kept = {n: os.stat(os.path.join(seq, n)).st_ino for n in ("frame_0003.png", "frame_0005.png")}
        r = self.farm("submit", "-d", "seq", "-n", "7", "-p", "3", "--poll", "0", *SEQ)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.arrays()[2:], ["--array=1-2"])
        self.assertEqual({n: os.stat(os.path.join(seq, n)).st_ino for n in kept}, kept)
        self.assertEqual(self.frames(seq), want)
        self.assertTrue(os.path.exists(os.path.join(seq, "manifest.sha256")))

    def test_another_sequence_is_not_mixed_in(self):
        r = self.farm("submit", "-d", "seq", "-n", "2", "-p", "2", "--poll", "0", *SEQ)
        self.assertEqual(r.returncode, 0, r.stderr)
        for other in (["-n", "3", *SEQ], ["-n", "2", *SEQ, "-c", "1,0.3,50"]):
            with self.subTest(other=other):
                r = self.farm("submit", "-d", "seq", "-p", "2", "--poll", "0", *other)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("another sequence", r.stderr)
        self.assertEqual(self.arrays(), ["--array=0"])

    def test_bad_command_lines(self):
        for args in (["submit", "-n", "4"], ["submit", "-d", "x", "-n", "0"], ["submit", "-d", "x", "-n", "4", "-p", "x"],
                     ["submit", "-d", "x", "-n", "4", "-k", "2"], ["submit", "-d", "x", "-n", "4", "-o", "a.png"],
                     ["check"], ["render"]):
            with self.subTest(args=args):
                r = self.farm(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn("galaxy-farm:", r.stderr)
        self.assertEqual(self.arrays(), [])
        self.assertFalse(os.path.exists(os.path.join(self.dir, "x")))


if __name__ == "__main__":
    unittest.main()
