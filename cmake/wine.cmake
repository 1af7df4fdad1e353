# The Windows test suite on this Linux machine: GoogleTest compiled for the
# target from Debian's sources, and every test executable run under Wine.
#
# Included from tests/CMakeLists.txt in the cross build, before any test
# executable is defined (the emulator is a property each target copies when
# it is created).
if(NOT WIN32)
  return()
endif()

# GoogleTest: Debian's googletest package ships the sources; its built
# libraries are for the host and cannot be linked into Windows binaries.
set(PALVEX_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
  "GoogleTest sources to build for the Windows test executables")
if(NOT EXISTS ${PALVEX_GOOGLETEST_SOURCE_DIR}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${PALVEX_GOOGLETEST_SOURCE_DIR}: "
    "install Debian's googletest package")
endif()
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
# Only the targets a test links are built. They define GTest::gtest,
# GTest::gtest_main, GTest::gmock and GTest::gmock_main, the names the
# host's GoogleTest package provides.
add_subdirectory(${PALVEX_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(NOT CMAKE_CROSSCOMPILING)
  return()  # a native Windows build runs its tests directly
endif()

find_program(PALVEX_WINE NAMES wine64 wine HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NOT PALVEX_WINE)
  message(FATAL_ERROR "wine not found: the Windows tests run under Wine "
    "(Debian's wine and wine64 packages), or configure with -DPALVEX_BUILD_TESTS=OFF")
endif()
set(PALVEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
  "Throw-away Wine prefix the tests run in (created on first use)")

# The DLL is found next to the test executables when all runtime outputs
# share one directory (the top-level CMakeLists.txt sees to that unless
# CMAKE_RUNTIME_OUTPUT_DIRECTORY is given); otherwise Wine is told where it
# was built.
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${PROJECT_SOURCE_DIR}/tools/wine-run.sh
  --wine ${PALVEX_WINE}
  --prefix ${PALVEX_WINEPREFIX}
  --path ${CMAKE_BINARY_DIR}/src)
