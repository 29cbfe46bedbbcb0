"""The README's Debian-package block: cpack, apt-get install of the three
packages, a still from the installed galaxy-render; then the packages are
purged again. The machine is left as it was: the test runs only as root (or
with password-less sudo), only when none of the packages is installed yet and
apt would install nothing but them, and it purges them however it ends (a
signal included). Exit status 77 (skipped) otherwise. Run by CTest with
GALAXY_SOURCE_DIR and GALAXY_BUILD_DIR."""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_readme_paths import BLOCKS, BUILD, Scratch  # noqa: E402

PACKAGES = ["libhalvenor-galaxy1", "libhalvenor-galaxy-dev", "halvenor-galaxy-tools"]
SUDO = [] if os.geteuid() == 0 else ["sudo", "-n"]
APT = SUDO + ["apt-get", "-o", "DPkg::Lock::Timeout=300", "-y", "-qq"]


def installed(pkg):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", pkg], capture_output=True, text=True)
    return r.returncode == 0 and "install ok installed" in r.stdout


def purge(scratch=None):
    # An apt-get of the block still at work is let finish (stopping dpkg
    # half-way would leave a broken package), then everything of ours goes.
    if scratch is not None and scratch.proc is not None and scratch.proc.poll() is None:
        scratch.proc.wait(timeout=600)
    present = [p for p in PACKAGES if installed(p)]
    if present:
        subprocess.run(APT + ["purge", *present], capture_output=True)


class DebianPackages(unittest.TestCase):
    def test_install_render_remove(self):
        s = Scratch(self.addCleanup)
        for p in glob.glob(os.path.join(BUILD, "*.deb")):
            os.remove(p)
        # cpack alone first: what apt would do is checked before anything is installed.
        cpack_line, *install_and_render = BLOCKS["deb"].splitlines()
        s.run("deb", text=cpack_line)
        debs = sorted(glob.glob(os.path.join(BUILD, "*.deb")))
        self.assertEqual([os.path.basename(d).split("_")[0] for d in debs], sorted(PACKAGES))

        fields = {}
        for d in debs:
            info = subprocess.run(["dpkg-deb", "-f", d, "Package", "Depends"], capture_output=True,
                                  text=True, check=True).stdout
            pkg = re.search(r"^Package: (\S+)", info, re.M).group(1)
            fields[pkg] = re.search(r"^Depends: (.*)$", info, re.M).group(1)
        # Computed by dpkg-shlibdeps, plus the run-time Vulkan pieces.
        for dep in ("libc6", "libstdc++6", "libx11-6", "libvulkan1", "mesa-vulkan-drivers"):
            self.assertIn(dep, fields["libhalvenor-galaxy1"])
        for pkg in ("libhalvenor-galaxy-dev", "halvenor-galaxy-tools"):
            self.assertIn("libhalvenor-galaxy1 (= 1.0.0)", fields[pkg])

        if SUDO and subprocess.run(["sudo", "-n", "true"], capture_output=True).returncode != 0:
            self.skipTest("installing needs root or password-less sudo")
        if any(installed(p) for p in PACKAGES):
            self.skipTest("a halvenor-galaxy package is already installed; not touching it")
        sim = subprocess.run(SUDO + ["apt-get", "install", "-s", *debs], capture_output=True, text=True)
        extra = [n for n in re.findall(r"^Inst (\S+)", sim.stdout, re.M) if n not in PACKAGES]
        if sim.returncode != 0 or extra:
            self.skipTest(f"apt would also install {extra or sim.stderr}; not changing the machine")

        self.addCleanup(purge, s)
        old = {sig: signal.signal(sig, lambda n, f: (purge(s), shutil.rmtree(s.dir, True), os._exit(128 + n)))
               for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        self.addCleanup(lambda: [signal.signal(k, v) for k, v in old.items()])
        shim = s.path("bin")
        os.mkdir(shim)
        if not SUDO:  # root without sudo: the README's sudo is a no-op
            with open(os.path.join(shim, "sudo"), "w") as f:
                f.write('#!/bin/sh\nexec "$@"\n')
            os.chmod(os.path.join(shim, "sudo"), 0o755)
        env = dict(s.env, PATH=shim + ":" + s.env["PATH"], DEBIAN_FRONTEND="noninteractive")
        s.run("deb", env, "\n".join(install_and_render))
        for p in PACKAGES:
            self.assertTrue(installed(p), p)
        self.assertEqual(shutil.which("galaxy-render", path="/usr/bin"), "/usr/bin/galaxy-render")
        with open(s.path("hole.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        pc = subprocess.run(["pkg-config", "--libs", "halvenor-galaxy"], capture_output=True, text=True)
        self.assertEqual(pc.stdout.strip(), "-lhalvenor-galaxy")

        purge()
        for p in PACKAGES:
            self.assertFalse(installed(p), p)


if __name__ == "__main__":
    r = unittest.main(exit=False).result
    sys.exit(1 if r.failures or r.errors else 77 if r.skipped else 0)
