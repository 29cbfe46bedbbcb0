# Sourced by the test scripts: configures build-win, the Windows build
# (mingw-w64), the same way from either script.
# CMake reads a toolchain file only on the first configure (and warns when
# given it again). A build-win from before the posix thread model keeps its
# old compilers: start it again rather than fail on GoogleTest's std::mutex.
# The compiler a toolchain file names is recorded in CMakeFiles, not in the
# cache; looking in the cache found it nowhere and made every run start again.
if [ -f build-win/CMakeCache.txt ] &&
   ! grep -qs 'mingw32-g++-posix' build-win/CMakeFiles/*/CMakeCXXCompiler.cmake; then
  rm -rf build-win
fi
WIN_TOOLCHAIN=()
[ -f build-win/CMakeCache.txt ] || WIN_TOOLCHAIN=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
cmake -S . -B build-win "${WIN_TOOLCHAIN[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DGALAXY_TESTS=ON -DGALAXY_BENCH=OFF >/dev/null
