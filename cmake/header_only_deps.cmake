# Windows (MinGW cross build): spdlog, fmt and nlohmann/json header-only,
# from the same Debian headers the Linux build uses.
#
# /usr/include itself must never be on the MinGW include path — glibc's
# headers would shadow the MinGW runtime's. The three libraries are reached
# through a directory in the build tree that holds links to exactly their
# header folders and nothing else.
#
# Provides:
#   palvex_logging_dep             spdlog + fmt, compiled into whoever links it
#   nlohmann_json::nlohmann_json   (Debian's CMake package lives outside the
#                                   cross toolchain's find root)

set(PALVEX_HOST_INCLUDE_DIR /usr/include CACHE PATH
  "Where the header-only dependencies (spdlog, fmt, nlohmann) are installed")

set(_palvex_dep_include ${CMAKE_BINARY_DIR}/header_only_deps/include)
file(MAKE_DIRECTORY ${_palvex_dep_include})
foreach(_dep spdlog fmt nlohmann)
  if(NOT IS_DIRECTORY ${PALVEX_HOST_INCLUDE_DIR}/${_dep})
    message(FATAL_ERROR "${PALVEX_HOST_INCLUDE_DIR}/${_dep} not found: install "
      "libspdlog-dev, libfmt-dev and nlohmann-json3-dev")
  endif()
  file(CREATE_LINK ${PALVEX_HOST_INCLUDE_DIR}/${_dep} ${_palvex_dep_include}/${_dep} SYMBOLIC)
endforeach()

# The library relies on nlohmann/json 3.11 (as the Linux find_package asks).
file(STRINGS ${_palvex_dep_include}/nlohmann/detail/abi_macros.hpp _json_version
  REGEX "#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR) ")
string(REGEX REPLACE ".*MAJOR ([0-9]+).*MINOR ([0-9]+).*" "\\1.\\2" _json_version "${_json_version}")
if(_json_version VERSION_LESS 3.11)
  message(FATAL_ERROR "nlohmann/json ${_json_version} found, 3.11 or newer needed")
endif()

if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  # Imported include directories are system directories: the library's strict
  # warnings stay on its own code.
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_palvex_dep_include})
endif()

# Debian's spdlog/tweakme.h selects the external fmt (SPDLOG_FMT_EXTERNAL);
# with FMT_HEADER_ONLY that fmt is compiled in as well. SPDLOG_COMPILED_LIB is
# left undefined, which is what makes spdlog header-only.
add_library(palvex_logging_dep INTERFACE)
target_include_directories(palvex_logging_dep SYSTEM INTERFACE ${_palvex_dep_include})
target_compile_definitions(palvex_logging_dep INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY)

unset(_dep)
unset(_json_version)
unset(_palvex_dep_include)
