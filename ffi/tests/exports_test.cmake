# Checks the dynamic symbol table of libkorvel.so: every defined symbol is one of Korvel's
# korvel_* functions, and all twelve are there.
#   cmake -DNM=<nm> -DLIBRARY=<path to libkorvel.so> -P exports_test.cmake
cmake_minimum_required(VERSION 3.25)
set(expected korvel_engine_new korvel_engine_free korvel_last_error korvel_free_string
  korvel_ingest korvel_set_label korvel_is_traced korvel_register_tool korvel_load_policies_yaml
  korvel_propose korvel_record_result korvel_explain)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(found "")
set(foreign "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
    set(name "${CMAKE_MATCH_1}")
    if(name MATCHES "^korvel_")
      list(APPEND found "${name}")
    else()
      list(APPEND foreign "${name}")
    endif()
  endif()
endforeach()

if(foreign)
  list(LENGTH foreign count)
  list(SUBLIST foreign 0 20 shown)
  message(FATAL_ERROR "${count} exported symbols outside korvel_*, e.g.: ${shown}")
endif()
foreach(name IN LISTS expected)
  if(NOT name IN_LIST found)
    message(FATAL_ERROR "${name} is not exported")
  endif()
endforeach()
foreach(name IN LISTS found)
  if(NOT name IN_LIST expected)
    message(FATAL_ERROR "unexpected export ${name}")
  endif()
endforeach()
list(LENGTH found count)
message(STATUS "exports: the ${count} korvel_* functions and nothing else")
