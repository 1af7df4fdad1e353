# The dynamic symbol table holds the library's exports and nothing else.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected corvel_free_ssid corvel_free_ssid_list corvel_get_list_of_ssids corvel_get_ssid_by_idx
    corvel_open_connection corvel_read_thread corvel_release corvel_set_board corvel_set_pcallback
    corvel_write_data data_write interpret_data_fn release set_board_json set_logger)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()
