#!/usr/bin/env bash
# The Windows stage: the DLL built with mingw-w64, run under Wine 10 on both of
# Wine's Direct3D back ends (OpenGL, and Vulkan). For each it runs
#   - engine_tests.exe: the engine tests that need no hook of our Linux layer,
#     linked against the Windows build of the engine;
#   - galaxy-check.exe: loads halvenor-galaxy.dll by name, renders the four
#     scenes offscreen and into a Win32 window; its pictures and error texts
#     are compared with those of the Linux build of the same program;
#   - the release kit (halvenor-galaxy-1.0.0-win64.zip): its listing checked,
#     then a C host linked with MinGW through the kit's MSVC-format import
#     library and a CMake project finding the kit with find_package, both
#     rendering a picture compared with galaxy-check's;
#   - galaxy-render.exe and galaxy-viewer.exe (tests/windows/tools): stills,
#     sequences and a video compared with the Linux galaxy-render's, exit
#     statuses and files left behind, and the viewer driven by keys typed into
#     its window.
# The Debian 13 root with Wine is made (or reused) by scripts/wine-env.sh.
# Needs root. Expects the Linux build in build/ (scripts/test.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

if ! bash scripts/wine-env.sh make; then
  echo "Windows stage FAILED: the Wine root could not be made on this machine" >&2
  exit 1
fi

source scripts/configure-win.sh
cmake --build build-win -j"$JOBS"
cmake --build build --target halvenor-galaxy galaxy-check galaxy-render -j"$JOBS"

# The Linux reference pictures; its window needs an X server.
source scripts/xvfb.sh
# On lavapipe like every Linux test, whatever GPUs the machine has (and
# lavapipe rather than the CPU executor for the software device too: the
# budgets of compare_check.py were measured against it).
icd=$(ls /usr/share/vulkan/icd.d/lvp_icd.*.json 2>/dev/null | head -n1 || true)
if [ -n "$icd" ]; then export VK_DRIVER_FILES=$icd VK_ICD_FILENAMES=$icd; fi
export HALVENOR_EXECUTOR=vulkan
rm -rf build/check-linux && mkdir -p build/check-linux
HALVENOR_VK_VALIDATION=1 LD_LIBRARY_PATH="$PWD/build" build/hosts/galaxy-check build/check-linux \
  2>build/check-linux/stderr.txt || { cat build/check-linux/stderr.txt >&2; exit 1; }
rm -rf build/tools-linux && mkdir -p build/tools-linux/set build/tools-linux/seq
{ HALVENOR_VK_VALIDATION=1 build/hosts/galaxy-render -s 320x180 -d build/tools-linux/set &&
  HALVENOR_VK_VALIDATION=1 build/hosts/galaxy-render -m galaxy -s 160x90 -t 20 -n 3 -k 2 -d build/tools-linux/seq
} >build/tools-linux/log.txt 2>&1 || { cat build/tools-linux/log.txt >&2; exit 1; }
for log in build/check-linux/stderr.txt build/tools-linux/log.txt; do
  if grep -q "vulkan: " $log; then
    cat $log >&2
    echo "Windows stage FAILED: Vulkan validation messages in the Linux reference run" >&2
    exit 1
  fi
done

# The kit, unpacked as a Windows developer would, and the two programs built
# against it on this side (Wine only runs them).
(cd build-win && cpack -G ZIP >/dev/null)
python3 tests/windows/kit/check_kit.py contents build-win/halvenor-galaxy-1.0.0-win64.zip include/halvenor_galaxy.h
rm -rf build-win/kit && mkdir -p build-win/kit/lib-host
python3 -m zipfile -e build-win/halvenor-galaxy-1.0.0-win64.zip build-win/kit
kit=build-win/kit/halvenor-galaxy-1.0.0-win64
bash tests/check_exports.sh windows $kit/bin/halvenor-galaxy.dll
# Through halvenor-galaxy.lib by its path: the .dll.a is nowhere the linker looks.
x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -I$kit/include tests/windows/kit/host.c \
    $kit/lib/halvenor-galaxy.lib -o build-win/kit/lib-host/kit-host.exe
cp $kit/bin/halvenor-galaxy.dll build-win/kit/lib-host/
cmake -S tests/windows/kit -B build-win/kit/cmake-host -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$PWD/$kit" >/dev/null
cmake --build build-win/kit/cmake-host
for exe in build-win/kit/lib-host/kit-host.exe build-win/kit/cmake-host/kit-host.exe; do
  # Read whole before grep -q: with pipefail, objdump cut off by grep's early
  # exit would fail the check.
  imports=$(x86_64-w64-mingw32-objdump -p $exe)
  if ! grep -q "DLL Name: halvenor-galaxy.dll" <<<"$imports"; then
    echo "Windows stage FAILED: $exe does not import halvenor-galaxy.dll" >&2
    exit 1
  fi
done

# back end, its WINE_D3D_CONFIG, and the tests that back end gets wrong.
# Wine 10's Vulkan renderer loses a clear of a render target that is copied
# out before anything is drawn to it (the readback is all zeros); every frame
# of the engine draws after its clear, so only this test sees it.
BACKENDS=(
  "opengl||"
  "vulkan|renderer=vulkan|Render.ClearColourComesBackAsBytes"
)

failed=()
for entry in "${BACKENDS[@]}"; do
  IFS='|' read -r name config wine_faults <<<"$entry"
  out=build-win/check/$name
  rm -rf "$out" && mkdir -p "$out"
  echo "== Windows build under Wine, Direct3D on $name"
  filter=""
  [ -n "$wine_faults" ] && filter="--gtest_filter=-$wine_faults"
  if ! WINE_D3D_CONFIG=$config bash scripts/wine-env.sh run . bash -c '
      set -eo pipefail
      wine build-win/tests/windows/engine_tests.exe '"$filter"' 2>&1 | tr -d "\r"
      for host in lib-host cmake-host; do
        wine build-win/kit/$host/kit-host.exe build-win/check/'"$name"'/kit_$host.png 2>&1 | tr -d "\r"
      done
      (cd build-win && wine galaxy-check.exe check/'"$name"' 2>&1 | tr -d "\r")
      bash tests/windows/tools/run_under_wine.sh build-win/tools/'"$name"'
    '; then
    failed+=("$name: tests under Wine")
    continue
  fi
  python3 tests/hosts/compare_check.py build/check-linux "$out" || failed+=("$name: pictures")
  python3 tests/windows/kit/check_kit.py pictures \
      build/check-linux/offscreen_black_hole.png "$out/kit_lib-host.png" \
      build/check-linux/offscreen_black_hole.png "$out/kit_cmake-host.png" || failed+=("$name: kit hosts")
  python3 tests/windows/tools/check_tools.py build/tools-linux build-win/tools/$name || failed+=("$name: programs")
done

if [ ${#failed[@]} -ne 0 ]; then
  printf 'Windows stage FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "Windows stage passed on both Wine back ends"
