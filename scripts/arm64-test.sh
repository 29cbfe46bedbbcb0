#!/usr/bin/env bash
# The aarch64 build (build-arm64/, made by scripts/arm64.sh) under user-mode
# emulation: qemu-aarch64 runs the arm64 programs with the host's own root as
# their root (-L /), where the :arm64 multiarch libraries and loader live.
# Needs the native build/ (its galaxy-render is the reference picture) and an
# X display for the window tests (a private Xvfb is started without one).
#
# What runs, and why (emulation is some 10-30 times slower than native):
#  - the three .deb packages say arm64 and hold aarch64 binaries;
#  - sw_tests and platform_tests, whole: the CPU executor and the Direct3D 11
#    front are the code the port touches; the Vulkan tests skip themselves, as
#    no arm64 Vulkan driver is installed;
#  - the engine tests that draw every mode on the CPU executor at small sizes
#    (ENGINE_TESTS below) and the content tests that check generated values bit
#    for bit, where a different libm or contraction would show first;
#  - galaxy-render's four scenes, compared pixel by pixel with the x86-64
#    build's (tests/hosts/compare_renders.py: they must be identical).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
B=$ROOT/build-arm64
EMU=(qemu-aarch64 -L /)

source scripts/xvfb.sh
# No arm64 Vulkan driver or validation layer is installed: the Vulkan tests
# skip themselves, and with validation asked for, the loader's complaints
# about the host's amd64 drivers would count as validation messages.
unset HALVENOR_VK_VALIDATION

echo "== arm64: packages"
for component in libhalvenor-galaxy1 libhalvenor-galaxy-dev halvenor-galaxy-tools; do
  deb="$B/${component}_1.0.0_arm64.deb"
  arch=$(dpkg-deb -f "$deb" Architecture)
  [ "$arch" = arm64 ] || { echo "$deb: Architecture $arch" >&2; exit 1; }
done
out=$(mktemp -d)
for deb in "$B"/*_1.0.0_arm64.deb; do dpkg-deb -x "$deb" "$out"; done
for f in usr/lib/libhalvenor-galaxy.so.1.0.0 usr/bin/galaxy-render usr/bin/galaxy-viewer; do
  file -b "$out/$f" | grep -q 'ARM aarch64' || { echo "$f in the arm64 packages is not an aarch64 binary" >&2; exit 1; }
done
rm -rf "$out"

echo "== arm64: sw_tests"
"${EMU[@]}" "$B/tests/sw_tests" --gtest_brief=1
echo "== arm64: platform_tests"
"${EMU[@]}" "$B/tests/platform_tests" --gtest_brief=1

# Every mode drawn on the CPU executor at small sizes (Render, Scene, Frame),
# the generated content checked bit for bit (Content), the camera and the
# matrices' golden values (Mat, Camera). Left out: the device-failure sweeps
# (ContentDevice, FaultSweep, Lifecycle: the front's bookkeeping, the same on
# every processor, and minutes under emulation), the lavapipe comparison (no
# arm64 Vulkan driver here) and Render.CaptureErrors, whose death test runs
# the program again by exec, which qemu-user cannot do without binfmt_misc.
ENGINE_TESTS='Content*:Frame*:Mat.*:Camera.*:Render.*:Scene.*:-ContentDevice.*:Render.CaptureErrors'
echo "== arm64: engine_tests ($ENGINE_TESTS)"
"${EMU[@]}" "$B/tests/engine_tests" --gtest_brief=1 --gtest_filter="$ENGINE_TESTS"

echo "== arm64: galaxy-render against x86-64"
out=$(mktemp -d)
trap 'rm -rf "$out"; stop_private_xvfb' EXIT
mkdir -p "$out/x86-64" "$out/arm64"
"$ROOT/build/hosts/galaxy-render" -s 320x180 -d "$out/x86-64" >/dev/null
"${EMU[@]}" "$B/hosts/galaxy-render" -s 320x180 -d "$out/arm64" >/dev/null
python3 tests/hosts/compare_renders.py "$out/x86-64" "$out/arm64"
