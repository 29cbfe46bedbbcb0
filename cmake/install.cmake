# Installation (GNUInstallDirs layout), the pkg-config file, the CMake package
# and the Debian packages made from them by CPack. Linux only.
#
#   runtime  libhalvenor-galaxy.so.1.0.0 and its SONAME link  -> libhalvenor-galaxy1
#   dev      header, .so link, halvenor-galaxy.pc, CMake files -> libhalvenor-galaxy-dev
#   tools    galaxy-render, galaxy-viewer                      -> halvenor-galaxy-tools
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(halvenor-galaxy PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(halvenor-galaxy INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS halvenor-galaxy EXPORT HalvenorGalaxyTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/halvenor_galaxy.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(GALAXY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/HalvenorGalaxy)
install(EXPORT HalvenorGalaxyTargets NAMESPACE HalvenorGalaxy::
        DESTINATION ${GALAXY_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/HalvenorGalaxyConfig.cmake.in
    ${PROJECT_BINARY_DIR}/HalvenorGalaxyConfig.cmake INSTALL_DESTINATION ${GALAXY_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/HalvenorGalaxyConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/HalvenorGalaxyConfig.cmake
              ${PROJECT_BINARY_DIR}/HalvenorGalaxyConfigVersion.cmake
        DESTINATION ${GALAXY_CMAKE_DIR} COMPONENT dev)

# The .pc file names the prefix given at install time (cmake --install
# --prefix, or /usr for the Debian packages), not the configured default.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(GALAXY_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(GALAXY_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(GALAXY_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/halvenor-galaxy.pc.in\"
                 \"\$ENV{DESTDIR}\${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/halvenor-galaxy.pc\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/halvenor-galaxy.pc\")
" COMPONENT dev)

# Installed under any prefix, the programs find the library beside them.
foreach(program galaxy-render galaxy-viewer)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

# ---- Debian packages: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME halvenor-galaxy)
set(CPACK_PACKAGE_VENDOR "halvenor-galaxy")
set(CPACK_PACKAGE_CONTACT "halvenor-galaxy maintainers <halvenor-galaxy@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Packages carry stripped binaries, as Debian's do.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# Library dependencies are read off the binaries by dpkg-shlibdeps; the shared
# library's own shlibs file lets other packages depend on it the same way.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The programs need our own library, which is in no installed package yet:
# dpkg-shlibdeps looks for it in the build tree (its package is named below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

# Each package's description starts with its own summary line (Debian policy).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libhalvenor-galaxy1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# libvulkan is opened at run time, so dpkg-shlibdeps cannot see it; lavapipe
# (in mesa-vulkan-drivers) is the device when there is no GPU.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libvulkan1, mesa-vulkan-drivers")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "real-time renderer of four procedural astronomical scenes\nThe shared library with its plain C interface of fourteen functions. It\nrenders through a Direct3D 11 subset over Vulkan; Mesa's lavapipe is the\ndevice on machines without a GPU.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libhalvenor-galaxy-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libhalvenor-galaxy1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "real-time renderer of four procedural astronomical scenes - development files\nThe C header, the pkg-config file and the CMake package\n(find_package(HalvenorGalaxy), target HalvenorGalaxy::halvenor-galaxy).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME halvenor-galaxy-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libhalvenor-galaxy1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "ffmpeg")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "real-time renderer of four procedural astronomical scenes - programs\ngalaxy-render writes the scenes as PNG files, image sequences or videos\n(with ffmpeg); galaxy-viewer shows them in an X11 window.")
include(CPack)
