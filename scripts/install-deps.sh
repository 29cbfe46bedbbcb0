#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the hosts need.
# Idempotent: installs only what is missing, and runs apt-get update only then.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config python3
  libvulkan1 libvulkan-dev mesa-vulkan-drivers vulkan-validationlayers
  glslang-dev glslang-tools spirv-tools
  libx11-dev libxext-dev libstb-dev
  libgtest-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  xvfb xdotool x11-utils
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
