# Finds EDFlib, the C library palvex-decode writes BDF+ files with (Debian's
# libedf-dev). Optional for the build: without it palvex-decode has no --bdf.
#
#   find_package(EDFlib)
#
# Provides the imported target EDFlib::EDFlib (headers and library) and
# EDFlib_FOUND, EDFlib_INCLUDE_DIR, EDFlib_LIBRARY.
find_path(EDFlib_INCLUDE_DIR edflib.h)
find_library(EDFlib_LIBRARY edf)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(EDFlib REQUIRED_VARS EDFlib_LIBRARY EDFlib_INCLUDE_DIR)
mark_as_advanced(EDFlib_INCLUDE_DIR EDFlib_LIBRARY)

if(EDFlib_FOUND AND NOT TARGET EDFlib::EDFlib)
  add_library(EDFlib::EDFlib UNKNOWN IMPORTED)
  set_target_properties(EDFlib::EDFlib PROPERTIES
    IMPORTED_LOCATION "${EDFlib_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${EDFlib_INCLUDE_DIR}")
endif()
