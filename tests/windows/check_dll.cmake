# Checks the built DLL as a Windows host would find it:
#  - its export table holds exactly the exports listed in exports.map (the
#    Linux build's export list), under their plain names;
#  - it imports Windows system DLLs only, so it runs without the MinGW
#    runtime DLLs (libstdc++, libgcc, winpthread) beside it.
#
# cmake -DOBJDUMP=... -DDLL=... -DEXPORTS_MAP=... -P check_dll.cmake
foreach(var OBJDUMP DLL EXPORTS_MAP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_dll.cmake needs -D${var}=...")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${DLL}
  OUTPUT_VARIABLE dump RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${err}")
endif()
string(REPLACE "\n" ";" lines "${dump}")

# Export names: the lines "[ n] name" after "[Ordinal/Name Pointer] Table".
set(exported)
set(in_table FALSE)
set(imported)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_table TRUE)
  elseif(in_table AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] ([^ \t]+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  elseif(in_table)
    set(in_table FALSE)
  endif()
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" name)
    list(APPEND imported ${name})
  endif()
endforeach()

# Expected exports: the names of the "global:" block of the version script.
file(READ ${EXPORTS_MAP} map)
string(REGEX REPLACE ".*global:(.*)local:.*" "\\1" map "${map}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" expected "${map}")

list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "export table differs from ${EXPORTS_MAP}\n"
    "  missing: ${missing}\n  unexpected: ${extra}")
endif()
list(LENGTH exported count)

set(system_dlls kernel32.dll msvcrt.dll ws2_32.dll iphlpapi.dll advapi32.dll
  user32.dll ntdll.dll bcrypt.dll shell32.dll ole32.dll)
set(foreign ${imported})
if(foreign)
  list(REMOVE_ITEM foreign ${system_dlls})
endif()
if(foreign)
  message(FATAL_ERROR "${DLL} imports DLLs that are not part of Windows: ${foreign}")
endif()
message(STATUS "${count} exports as in exports.map; imports: ${imported}")
