# Cross build of PalvexWrapper.dll for Windows x64 with Debian's MinGW-w64,
# POSIX threads variant (std::thread and std::mutex come from winpthreads).
#
# Everything the binaries need from the toolchain's runtime (libstdc++, libgcc,
# winpthreads) is linked statically, so the DLL and the test executables
# import nothing but Windows system DLLs and run as they are, on Windows or
# under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PALVEX_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix drivers explicitly: the unsuffixed names follow an alternatives
# link that may point at the win32-threads variant, which has no std::thread
# in GCC 12.
set(CMAKE_C_COMPILER   /usr/bin/${PALVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${PALVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  /usr/bin/${PALVEX_MINGW_TRIPLE}-windres)
set(CMAKE_AR           /usr/bin/${PALVEX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${PALVEX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Libraries, headers and CMake packages come from the MinGW sysroot only:
# the host's /usr/include and /usr/lib hold glibc-side files that must never
# leak into a Windows build. Header-only third-party code is brought in
# through a directory of selected links instead (cmake/header_only_deps.cmake).
set(CMAKE_FIND_ROOT_PATH /usr/${PALVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static makes the driver pick the static archives of libstdc++, libgcc
# (libgcc_eh instead of libgcc_s_seh-1.dll) and winpthreads; the system DLLs
# still come in through their import libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
# Release DLLs carry no symbol table (about half the size); the export table
# is separate and stays.
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_MINSIZEREL_INIT "-s")
