# SPDX-License-Identifier: MIT
# Writes OUTPUT: the EXPORTS of INPUT whose function ARCHIVE defines, then the
# comma-separated EXTRA names. Run with cmake -P.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} -g --defined-only ${ARCHIVE}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${ARCHIVE}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ T [A-Za-z_][A-Za-z0-9_]*" defined "${symbols}")
list(TRANSFORM defined REPLACE "^[0-9a-fA-F]+ T " "")

file(STRINGS ${INPUT} lines)
set(text "; Generated from ${INPUT}\nEXPORTS\n")
set(in_exports FALSE)
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)(=([A-Za-z_][A-Za-z0-9_]*))?$")
    set(function "${CMAKE_MATCH_1}")
    if(CMAKE_MATCH_3)
      set(function "${CMAKE_MATCH_3}")
    endif()
    if(function IN_LIST defined)
      string(APPEND text "\t${line}\n")
    endif()
  endif()
endforeach()
string(REPLACE "," ";" extra "${EXTRA}")
foreach(name IN LISTS extra)
  string(APPEND text "\t${name}\n")
endforeach()

# Unchanged contents keep the file's time, so the DLL is not linked again.
set(current "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} current)
endif()
if(NOT current STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
