# Installs the build into a fresh prefix and builds a C consumer of both
# libraries (the decoder, the row buffer and the capture reader) against it twice: through
# find_package(PalvexWrapper CONFIG) and through pkg-config. Both consumers
# must run and decode. The installed Python package must find the installed
# libraries and default descriptor, with the source tree out of its reach.
# Run with
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DC_COMPILER=...
#         -DPYTHON=... -DDESCRIPTOR_JSON=... -DCORVEL_SIM=... -P package_test.cmake
foreach(v BUILD_DIR WORK_DIR CONSUMER_DIR C_COMPILER PYTHON DESCRIPTOR_JSON CORVEL_SIM)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "package_test.cmake needs -D${v}=...")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The installed tree holds the library, the header and both package files,
# and no file of the build tree leaks into the package.
file(GLOB_RECURSE pc_files ${prefix}/*/palvex.pc)
file(GLOB_RECURSE config_files ${prefix}/*/PalvexWrapperConfig.cmake)
file(GLOB_RECURSE rows_pc_files ${prefix}/*/palvex-rows.pc)
file(GLOB_RECURSE capture_pc_files ${prefix}/*/palvex-capture.pc)
file(GLOB_RECURSE libs ${prefix}/*/libPalvexWrapper.so)
file(GLOB_RECURSE rows_libs ${prefix}/*/libPalvexRows.so)
file(GLOB_RECURSE capture_libs ${prefix}/*/libPalvexCapture.so)
if(NOT pc_files OR NOT rows_pc_files OR NOT capture_pc_files OR NOT config_files OR NOT libs OR NOT rows_libs
   OR NOT capture_libs OR NOT EXISTS ${prefix}/include/palvex/palvex.h OR NOT EXISTS ${prefix}/include/palvex/rows.h
   OR NOT EXISTS ${prefix}/include/palvex/capture.h)
  message(FATAL_ERROR "install tree incomplete: pc=${pc_files} ${rows_pc_files} config=${config_files} "
    "lib=${libs} ${rows_libs}")
endif()
file(GLOB_RECURSE package_files ${prefix}/*.cmake ${prefix}/*.pc)
foreach(f ${package_files})
  file(READ ${f} text)
  string(FIND "${text}" "${BUILD_DIR}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${f} refers to the build tree ${BUILD_DIR}")
  endif()
endforeach()

# 1. find_package, with the C compiler of this build.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-consumer -G Ninja
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
run(${WORK_DIR}/cmake-consumer/consumer)
message(STATUS "find_package consumer: ${run_output}")

# 2. pkg-config, with a plain compiler command line.
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
find_program(PKG_CONFIG pkg-config REQUIRED)
run(${PKG_CONFIG} --cflags --libs palvex palvex-rows palvex-capture)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${PKG_CONFIG} --modversion palvex)
string(STRIP "${run_output}" version)
if(NOT version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "pkg-config --modversion palvex gave '${version}'")
endif()
run(${C_COMPILER} ${CONSUMER_DIR}/consumer.c ${flags} -o ${WORK_DIR}/pc-consumer)
get_filename_component(lib_dir ${pc_dir} DIRECTORY)
set(ENV{LD_LIBRARY_PATH} ${lib_dir})
run(${WORK_DIR}/pc-consumer)
message(STATUS "pkg-config consumer (palvex ${version}): ${run_output}")

# 3. The Python package as installed, run from the prefix alone: it loads
# the installed libraries (found through the library_dir.txt the install
# wrote, not the loader's search) and the installed default descriptor, and
# decodes a capture.
set(python_dir ${prefix}/share/palvex/python)
unset(ENV{LD_LIBRARY_PATH})
unset(ENV{PALVEX_LIBRARY_DIR})
unset(ENV{PYTHONPATH})
run(${CORVEL_SIM} --capture ${WORK_DIR}/c.cap --packets 10 --board A1:MES_4)
run(${PYTHON} -c "import palvex, sys\nrows = len(palvex.decode_capture(sys.argv[1])['A1'])\n\
sys.stdout.write(f'{palvex._libs.library_dir()}\\n{rows}\\n{palvex.DEFAULT_DESCRIPTOR}')" ${WORK_DIR}/c.cap
  WORKING_DIRECTORY ${python_dir})
file(READ ${DESCRIPTOR_JSON} expected)
string(REGEX REPLACE "\n$" "" expected "${expected}")
list(GET libs 0 lib_file)
get_filename_component(lib_dir ${lib_file} DIRECTORY)
get_filename_component(lib_dir ${lib_dir} REALPATH)
if(NOT run_output STREQUAL "${lib_dir}\n20\n${expected}")
  message(FATAL_ERROR "the installed package did not decode with ${lib_dir} and ${DESCRIPTOR_JSON}:\n${run_output}")
endif()
message(STATUS "installed Python package: libraries and default descriptor found, capture decoded")
