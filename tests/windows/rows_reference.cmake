# Rows that both builds must decode to the same bits: one program, built by
# the Linux build and by the cross build, compares what it decodes with the
# recorded file tests/data/rows_reference.txt (written by the Linux build:
#   palvex_rows_dump > tests/data/rows_reference.txt).
# Included from tests/CMakeLists.txt in both builds.
add_executable(palvex_rows_dump ${CMAKE_CURRENT_LIST_DIR}/rows_dump.cpp)
target_include_directories(palvex_rows_dump PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(palvex_rows_dump PRIVATE PalvexWrapper palvex_test_support)

set(PALVEX_ROWS_REFERENCE ${PROJECT_SOURCE_DIR}/tests/data/rows_reference.txt)
set(reference_arg ${PALVEX_ROWS_REFERENCE})
if(WIN32 AND CMAKE_CROSSCOMPILING)
  # Wine maps the Unix root to drive Z:.
  set(reference_arg "Z:${PALVEX_ROWS_REFERENCE}")
endif()
add_test(NAME RowsReference.BitIdenticalToTheRecordedRows
  COMMAND palvex_rows_dump --compare ${reference_arg})
set_tests_properties(RowsReference.BitIdenticalToTheRecordedRows PROPERTIES TIMEOUT 60)
