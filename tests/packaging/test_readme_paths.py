"""The documentation's install, pkg-config, CMake, pip, Python and
split-sequence blocks (README.md and docs/*.md), run as a user would paste
them: in a scratch directory holding `build` (a link to the build tree) and
`python` (a copy of the module's directory), with HOME pointing into it. Run by CTest with GALAXY_SOURCE_DIR and GALAXY_BUILD_DIR."""
import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

SRC = os.environ["GALAXY_SOURCE_DIR"]
BUILD = os.environ["GALAXY_BUILD_DIR"]
# Debian's own tools first: a pyenv or other python3 earlier on PATH would
# lack python3-venv's pieces and Debian's NumPy.
PATH = "/usr/bin:/bin:" + os.environ.get("PATH", "")


def readme_blocks():
    """{name: text} of the fenced blocks marked <!-- run: name --> in README.md
    and the pages under docs/; a name used twice is an error, not a silent pick."""
    blocks = {}
    for path in [os.path.join(SRC, "README.md")] + sorted(glob.glob(os.path.join(SRC, "docs", "*.md"))):
        with open(path) as f:
            text = f.read()
        for m in re.finditer(r"<!-- run: (\S+) -->\n```\w*\n(.*?)```", text, re.S):
            if m.group(1) in blocks:
                raise ValueError(f"{path}: a second block named {m.group(1)}")
            blocks[m.group(1)] = m.group(2)
    return blocks


BLOCKS = readme_blocks()


class Scratch:
    """A user's directory with the source tree's build and python at hand."""

    def __init__(self, add_cleanup):
        self.dir = tempfile.mkdtemp(prefix="galaxy-readme-")
        add_cleanup(shutil.rmtree, self.dir, True)
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home)
        os.symlink(BUILD, os.path.join(self.dir, "build"))
        shutil.copytree(os.path.join(SRC, "python"), os.path.join(self.dir, "python"),
                        ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        self.env = dict(os.environ, HOME=self.home, PATH=PATH, PIP_NO_INDEX="1")
        self.env.pop("HALVENOR_GALAXY_LIB", None)
        self.env.pop("PKG_CONFIG_PATH", None)
        self.proc = None  # the block running now

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)

    def run(self, block, env=None, text=None):
        """Runs a README block (or the given part of it); its standard output."""
        # -P: "cd build" lands in the real build tree, so anything that
        # re-runs CMake there never records this scratch path as its home.
        self.proc = subprocess.Popen(["bash", "-P", "-euo", "pipefail", "-c", text or BLOCKS[block]],
                                     cwd=self.dir, env=env or self.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        out, err = self.proc.communicate(timeout=600)
        if self.proc.returncode != 0 or "vulkan:" in err:
            raise AssertionError(f"README block '{block}' failed ({self.proc.returncode}):\n{out}\n{err}")
        return out

    def path(self, *parts):
        return os.path.join(self.dir, *parts)


class InstalledTree(unittest.TestCase):
    """cmake --install into $HOME/.local, then hosts built against it."""

    @classmethod
    def setUpClass(cls):
        cls.s = Scratch(cls.addClassCleanup)
        cls.s.run("install")
        cls.s.write("host.c", BLOCKS["host.c"])
        cls.prefix = cls.s.path("home", ".local")

    def test_files_and_links(self):
        lib = os.path.join(self.prefix, "lib")
        self.assertEqual(os.readlink(os.path.join(lib, "libhalvenor-galaxy.so")), "libhalvenor-galaxy.so.1")
        self.assertEqual(os.readlink(os.path.join(lib, "libhalvenor-galaxy.so.1")), "libhalvenor-galaxy.so.1.0.0")
        dyn = subprocess.run(["readelf", "-d", os.path.join(lib, "libhalvenor-galaxy.so.1.0.0")],
                             capture_output=True, text=True, check=True).stdout
        self.assertIn("Library soname: [libhalvenor-galaxy.so.1]", dyn)
        subprocess.run([os.path.join(SRC, "tests", "check_exports.sh"), "linux",
                        os.path.join(lib, "libhalvenor-galaxy.so.1.0.0")], check=True, capture_output=True)
        for rel in ("include/halvenor_galaxy.h", "lib/pkgconfig/halvenor-galaxy.pc",
                    "lib/cmake/HalvenorGalaxy/HalvenorGalaxyConfig.cmake",
                    "lib/cmake/HalvenorGalaxy/HalvenorGalaxyConfigVersion.cmake",
                    "bin/galaxy-render", "bin/galaxy-viewer"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, rel)), rel)
        with open(os.path.join(self.prefix, "lib/pkgconfig/halvenor-galaxy.pc")) as f:
            self.assertIn("prefix=" + self.prefix + "\n", f.read())

    def check_host(self, out, png):
        self.assertRegex(out, r"640x360, centre pixel red \d+")
        with open(self.s.path(png), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        os.remove(self.s.path(png))

    def test_host_with_pkg_config(self):
        self.check_host(self.s.run("pkg-config"), "black_hole.png")

    def test_host_with_find_package(self):
        self.s.write("CMakeLists.txt", BLOCKS["CMakeLists.txt"])
        self.check_host(self.s.run("find_package"), "black_hole.png")

    def test_installed_render_finds_its_library(self):
        r = subprocess.run([os.path.join(self.prefix, "bin", "galaxy-render"), "-s", "32x24", "-q", "0",
                            "-T", "0", "-o", "still.png"], cwd=self.s.dir, env=self.s.env,
                           capture_output=True, text=True, timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.isfile(self.s.path("still.png")))

    def test_pip_into_a_venv_loads_the_installed_library(self):
        # The installed library is found by its SONAME, as the Debian
        # package's would be; LD_LIBRARY_PATH stands in for ld.so.conf.
        env = dict(self.s.env, LD_LIBRARY_PATH=os.path.join(self.prefix, "lib"))
        has_numpy = subprocess.run(["/usr/bin/python3", "-c", "import numpy"], capture_output=True).returncode == 0
        block = BLOCKS["pip"]
        if not has_numpy:  # the venv sees the system's packages: without NumPy, bytes
            block = block.replace("g.readback_array().shape", "(180, 320, len(g.readback()) // (180 * 320))")
        out = self.s.run("pip", env, block)
        self.assertIn("(180, 320, 4)", out)
        self.assertTrue(os.path.isfile(self.s.path("galaxy-py.png")))
        venv_python = os.path.join(self.s.home, "galaxy-venv", "bin", "python")
        where = subprocess.run([venv_python, "-c", "import halvenor_galaxy as h; print(h.__file__)"],
                               cwd=self.s.home, env=env, capture_output=True, text=True, check=True).stdout
        self.assertIn("site-packages", where)


class SourceTreePython(unittest.TestCase):
    def test_five_lines_write_a_picture(self):
        s = Scratch(self.addCleanup)
        s.write("five.py", BLOCKS["python"])
        s.run("python", text="python3 five.py")
        with open(s.path("galaxy.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


class SplitSequence(unittest.TestCase):
    def test_three_processes_equal_one(self):
        if shutil.which("parallel", path=PATH) is None:
            self.skipTest("GNU parallel not installed")
        s = Scratch(self.addCleanup)
        s.run("split")
        # The same twelve frames from one process.
        m = re.search(r"galaxy-render (.*) -n 4 --first-frame \{\} -d frames", BLOCKS["split"])
        os.mkdir(s.path("whole"))
        subprocess.run([os.path.join(BUILD, "hosts", "galaxy-render"), *m.group(1).split(),
                        "-n", "12", "-d", "whole"], cwd=s.dir, check=True, capture_output=True, timeout=600)
        names = sorted(os.listdir(s.path("whole")))
        self.assertEqual(names, [f"frame_{i:04d}.png" for i in range(12)])
        self.assertEqual(sorted(os.listdir(s.path("frames"))), names)
        for n in names:
            with open(s.path("frames", n), "rb") as a, open(s.path("whole", n), "rb") as b:
                self.assertTrue(a.read() == b.read(), n)


if __name__ == "__main__":
    unittest.main()
