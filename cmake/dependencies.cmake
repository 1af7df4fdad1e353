# Third-party libraries, all from Debian's packages.
#
# Linux links Debian's shared spdlog (1.10, external fmt), so a C++ host that
# uses the same packages shares one spdlog build with the library — a host
# logger handed to set_logger() must come from that build.
# Windows (MinGW cross build) uses spdlog and fmt header-only, compiled into
# the DLL, from the same Debian headers.
if(WIN32)
  # Also defines nlohmann_json::nlohmann_json: Debian's package file is
  # outside the cross toolchain's find root.
  include(${CMAKE_CURRENT_LIST_DIR}/header_only_deps.cmake)
else()
  find_package(nlohmann_json 3.11 REQUIRED)
  find_package(fmt REQUIRED)
  find_package(spdlog REQUIRED)
  add_library(palvex_logging_dep INTERFACE)
  target_link_libraries(palvex_logging_dep INTERFACE spdlog::spdlog fmt::fmt)
  # EDFlib (libedf-dev) for palvex-decode --bdf and its tests; optional.
  list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
  find_package(EDFlib)
endif()
