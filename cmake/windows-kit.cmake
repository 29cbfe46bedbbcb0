# The Windows release kit: cmake --install into a prefix, or `cpack` in the
# build directory for halvenor-galaxy-1.0.0-win64.zip. Layout:
#
#   bin/      halvenor-galaxy.dll and the programs
#   include/  halvenor_galaxy.h
#   lib/      halvenor-galaxy.lib     import library in the format MSVC's own
#                                     lib.exe writes, made from the .def
#             libhalvenor-galaxy.dll.a  MinGW's import library, from the link
#             halvenor-galaxy.def
#             cmake/HalvenorGalaxy/   find_package(HalvenorGalaxy)
#   licenses/ the runtimes linked into the binaries (mingw-w64's CRT and
#             winpthreads, libgcc and libstdc++) and stb
#
# Everything the binaries need beyond Windows itself is linked in, so the kit
# carries no runtime DLLs.
include(CMakePackageConfigHelpers)

# llvm-dlltool writes short import members, as lib.exe does; MinGW's linker
# reads those too (the kit's tests link a program through this file).
find_program(GALAXY_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(GALAXY_DEF ${PROJECT_SOURCE_DIR}/src/halvenor-galaxy.def)
set(GALAXY_MSVC_IMPLIB ${PROJECT_BINARY_DIR}/halvenor-galaxy.lib)
add_custom_command(OUTPUT ${GALAXY_MSVC_IMPLIB}
    COMMAND ${GALAXY_DLLTOOL} -m i386:x86-64 -d ${GALAXY_DEF} -l ${GALAXY_MSVC_IMPLIB}
    DEPENDS ${GALAXY_DEF}
    COMMENT "MSVC import library halvenor-galaxy.lib")
add_custom_target(galaxy-msvc-implib ALL DEPENDS ${GALAXY_MSVC_IMPLIB})

install(TARGETS halvenor-galaxy RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/halvenor_galaxy.h DESTINATION include)
install(FILES ${GALAXY_DEF} ${GALAXY_MSVC_IMPLIB} DESTINATION lib)

set(GALAXY_CMAKE_DIR lib/cmake/HalvenorGalaxy)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/HalvenorGalaxyConfig-windows.cmake.in
    ${PROJECT_BINARY_DIR}/HalvenorGalaxyConfig.cmake INSTALL_DESTINATION ${GALAXY_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/HalvenorGalaxyConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/HalvenorGalaxyConfig.cmake
              ${PROJECT_BINARY_DIR}/HalvenorGalaxyConfigVersion.cmake
        DESTINATION ${GALAXY_CMAKE_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION .)
# Debian's copyright files of the packages the runtimes come from.
install(FILES /usr/share/doc/mingw-w64-x86-64-dev/copyright DESTINATION licenses RENAME mingw-w64.txt)
install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright DESTINATION licenses RENAME gcc-runtime.txt)
install(FILES /usr/share/common-licenses/GPL-3 DESTINATION licenses RENAME GPL-3.txt)
install(FILES /usr/share/doc/libstb-dev/copyright DESTINATION licenses RENAME stb.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME halvenor-galaxy)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME halvenor-galaxy-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES ON)
include(CPack)
