# Cross-compiling for Linux on ARM64 with Debian's g++-aarch64-linux-gnu,
# against the :arm64 multiarch libraries installed beside the native ones
# (/usr/lib/aarch64-linux-gnu). scripts/arm64.sh installs both and uses this.
#
# glslang-dev:arm64 cannot be installed beside the native glslang: it depends
# on spirv-tools, which is not co-installable, and installing it removes the
# amd64 packages. Both ship static archives only (they are linked into the
# library, nothing is needed at run time), so the script unpacks the two
# arm64 packages into a directory of their own, named here by
# GALAXY_ARM64_EXTRA_ROOT, and CMake looks there as a second root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(GALAXY_ARM64_EXTRA_ROOT "" CACHE PATH "unpacked arm64 glslang-dev and spirv-tools")
# try_compile projects read this file again and need the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GALAXY_ARM64_EXTRA_ROOT)

set(CMAKE_FIND_ROOT_PATH / ${GALAXY_ARM64_EXTRA_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(GALAXY_ARM64_EXTRA_ROOT)
  # glslang's SPIRV target names the SPIRV-Tools archives by bare name (-l).
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${GALAXY_ARM64_EXTRA_ROOT}/usr/lib/aarch64-linux-gnu")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${GALAXY_ARM64_EXTRA_ROOT}/usr/lib/aarch64-linux-gnu")
endif()

# Test programs run under user-mode emulation; the multiarch loader and
# libraries live in the host's own root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;/)

# Debian packages for arm64 (dpkg-shlibdeps reads the arm64 libraries' shlibs).
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
