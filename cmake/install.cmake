# Install rules: the library, its header, a CMake package
# (find_package(PalvexWrapper CONFIG) -> PalvexWrapper::PalvexWrapper) and a
# pkg-config file (palvex.pc); the row buffer and the capture reader likewise
# (PalvexWrapper::PalvexRows, palvex-rows.pc; PalvexWrapper::PalvexCapture,
# palvex-capture.pc).
#
# spdlog, fmt and nlohmann_json are linked PRIVATE into the shared library,
# so the exported target carries no dependency of theirs: a consumer needs
# only libPalvexWrapper.so (whose own DT_NEEDED entries name Debian's shared
# libspdlog and libfmt for the loader). A C++ host that passes its own
# spdlog logger finds spdlog itself, from the same Debian packages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PALVEX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/PalvexWrapper
  CACHE STRING "Where the CMake package files of PalvexWrapper are installed")

install(TARGETS PalvexWrapper PalvexRows PalvexCapture EXPORT PalvexWrapperTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/palvex/palvex.h ${PROJECT_SOURCE_DIR}/include/palvex/rows.h
  ${PROJECT_SOURCE_DIR}/include/palvex/capture.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/palvex)

install(EXPORT PalvexWrapperTargets
  NAMESPACE PalvexWrapper::
  FILE PalvexWrapperTargets.cmake
  DESTINATION ${PALVEX_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/PalvexWrapperConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PalvexWrapperConfig.cmake
  INSTALL_DESTINATION ${PALVEX_INSTALL_CMAKEDIR})
# 0.x releases promise nothing across minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PalvexWrapperConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/PalvexWrapperConfig.cmake
  ${PROJECT_BINARY_DIR}/PalvexWrapperConfigVersion.cmake
  DESTINATION ${PALVEX_INSTALL_CMAKEDIR})

# pkg-config: paths relative to the prefix the .pc file sits under, so an
# installed tree can be moved.
file(RELATIVE_PATH PALVEX_PC_LIBDIR_REL ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/palvex.pc.in ${PROJECT_BINARY_DIR}/palvex.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/palvex-rows.pc.in ${PROJECT_BINARY_DIR}/palvex-rows.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/palvex-capture.pc.in ${PROJECT_BINARY_DIR}/palvex-capture.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/palvex.pc ${PROJECT_BINARY_DIR}/palvex-rows.pc ${PROJECT_BINARY_DIR}/palvex-capture.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
