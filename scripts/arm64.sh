#!/usr/bin/env bash
# Linux on ARM64, cross-built on an x86-64 Debian 12 machine and tested under
# user-mode emulation (qemu-aarch64). Usage:
#   scripts/arm64.sh --build   installs what is missing, builds build-arm64/
#                              (library, programs, tests, benchmarks) and the
#                              arm64 .deb packages
#   scripts/arm64.sh --test    the same, building only what the emulated tests
#                              run and the packages hold, then runs those tests
#                              (scripts/arm64-test.sh; needs the native build/)
# Idempotent: installs only what is missing, unpacks only once.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
MODE=${1:---build}
case "$MODE" in
  --build|--test) ;;
  *) echo "usage: $0 --build|--test" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# One package a line, so additions merge cleanly. The :arm64 ones are
# Multi-Arch: same and install beside their amd64 twins.
ARM64_PACKAGES=(
  g++-aarch64-linux-gnu
  qemu-user
  dpkg-dev
  libvulkan-dev:arm64
  libx11-dev:arm64
  libxcb1-dev:arm64
  libxcb-shm0-dev:arm64
  libxcb-randr0-dev:arm64
  libdeflate-dev:arm64
  zlib1g-dev:arm64
  libgtest-dev:arm64
  libbenchmark-dev:arm64
)
# Not co-installable (glslang-dev:arm64 depends on spirv-tools:arm64, which
# would replace the native spirv-tools and take glslang-dev with it): these
# are unpacked into build-arm64/deps instead: static archives, and the
# tools only because glslang's CMake package checks that they exist.
UNPACKED_PACKAGES=(
  glslang-dev:arm64
  spirv-tools:arm64
  glslang-tools:arm64
)

# A new architecture has no package lists until the next update.
NEED_UPDATE=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
  NEED_UPDATE=1
fi

missing=()
for p in "${ARM64_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ] || [ "$NEED_UPDATE" = 1 ]; then
  $SUDO apt-get update -qq -o DPkg::Lock::Timeout=600
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  # Refuse any plan that removes packages: the native build needs them all.
  plan=$($SUDO apt-get install -s --no-install-recommends "${missing[@]}")
  if grep -q '^Remv ' <<<"$plan"; then
    echo "arm64: installing ${missing[*]} would remove native packages; not done" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
      --no-install-recommends "${missing[@]}" >/dev/null
fi

DEPS=$ROOT/build-arm64/deps
if [ ! -f "$DEPS/usr/lib/aarch64-linux-gnu/libglslang.a" ] ||
   [ ! -f "$DEPS/usr/lib/aarch64-linux-gnu/libSPIRV-Tools-opt.a" ] ||
   [ ! -f "$DEPS/usr/bin/glslangValidator" ]; then
  rm -rf "$DEPS"
  mkdir -p "$DEPS/debs"
  # apt's sandbox user must be able to write where the files land.
  chmod 777 "$DEPS/debs"
  (cd "$DEPS/debs" && apt-get download -q=2 "${UNPACKED_PACKAGES[@]}")
  for deb in "$DEPS"/debs/*.deb; do dpkg-deb -x "$deb" "$DEPS"; done
fi

# CMake reads a toolchain file only on the first configure.
TOOLCHAIN=()
[ -f build-arm64/CMakeCache.txt ] || TOOLCHAIN=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake")
LAUNCHER=()
if command -v ccache >/dev/null; then
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-arm64 "${TOOLCHAIN[@]}" "${LAUNCHER[@]}" -DGALAXY_ARM64_EXTRA_ROOT="$DEPS" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGALAXY_TESTS=ON -DGALAXY_BENCH=ON \
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
if [ "$MODE" = --test ]; then
  # What the emulated tests run and the packages hold; the rest (benchmarks,
  # the other test programs) only with --build, to keep the stage short.
  cmake --build build-arm64 -j"$JOBS" --target halvenor-galaxy galaxy-render galaxy-viewer \
        sw_tests platform_tests engine_tests
else
  cmake --build build-arm64 -j"$JOBS"
fi

# The packages, with dpkg-shlibdeps reading the arm64 libraries' shlibs files.
(cd build-arm64 && DEB_HOST_ARCH=arm64 cpack -G DEB >/dev/null)
for deb in build-arm64/*_arm64.deb; do echo "arm64 package: $deb"; done

if [ "$MODE" = --test ]; then
  bash scripts/arm64-test.sh
fi
