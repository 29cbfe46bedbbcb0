#!/usr/bin/env bash
# Installs the Debian packages that are missing, in two sets:
#   scripts/install-deps.sh render   building the library and galaxy-render (scripts/render.sh)
#   scripts/install-deps.sh          that plus everything the tests use (scripts/test.sh)
#   scripts/install-deps.sh web      the render set plus Emscripten, for the web build (scripts/web.sh)
#   scripts/install-deps.sh web-test that plus the browser its tests drive
# Idempotent: installs only what is missing, and runs apt-get update only then.
set -euo pipefail

# One package a line, so additions merge cleanly.
RENDER_PACKAGES=(
  build-essential
  cmake
  pkg-config
  libvulkan1
  libvulkan-dev
  mesa-vulkan-drivers
  glslang-dev
  glslang-tools
  spirv-tools
  spirv-headers
  libx11-dev
  libxcb1-dev
  libxcb-shm0-dev
  libxcb-randr0-dev
  libstb-dev
  libdeflate-dev
)

TEST_PACKAGES=(
  python3
  vulkan-validationlayers
  libgtest-dev
  googletest
  libbenchmark-dev
  zlib1g-dev
  g++-mingw-w64-x86-64
  binutils-mingw-w64-x86-64
  llvm
  xvfb
  xdotool
  x11-utils
  clang
  libclang-rt-14-dev
  file
  python3-venv
  python3-pip
  python3-wheel
  python3-numpy
  parallel
  ffmpeg
  debootstrap
  munge
  slurmctld
  slurmd
  slurm-client
)

# Emscripten's JavaScript passes need acorn (node-acorn, which emscripten
# pulls in); npm fetches the browser tests' driver.
WEB_PACKAGES=(
  emscripten
  binaryen
  nodejs
)

WEB_TEST_PACKAGES=(
  chromium
  fonts-liberation
)

case "${1:-test}" in
  render) PACKAGES=("${RENDER_PACKAGES[@]}") ;;
  test) PACKAGES=("${RENDER_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  web) PACKAGES=("${RENDER_PACKAGES[@]}" "${WEB_PACKAGES[@]}") ;;
  web-test) PACKAGES=("${RENDER_PACKAGES[@]}" "${WEB_PACKAGES[@]}" "${WEB_TEST_PACKAGES[@]}") ;;
  *) echo "usage: $0 [render|test|web|web-test]" >&2; exit 2 ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# npm comes with some builds of nodejs (NodeSource's) and as its own package
# with Debian's.
if [ "${1:-test}" = web-test ] && ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
