# SPDX-License-Identifier: MIT
# The DLL's module definition file, made from src/exports/torvane.def.
#
# The export list names all 27 functions of torvane.h, while the subsystems
# that define them arrive one by one: the generated file keeps the names whose
# function torvane_core defines, so that the DLL links at every stage.
# tests/windows checks the DLL's export table against the full list.

set(TORVANE_EXPORT_FILTER ${CMAKE_CURRENT_LIST_DIR}/FilterExports.cmake CACHE INTERNAL "")

# torvane_export_list(<target> <input .def> <output .def> [EXTRA <names...>])
function(torvane_export_list target input output)
  cmake_parse_arguments(ARG "" "" "EXTRA" ${ARGN})
  string(REPLACE ";" "," extra "${ARG_EXTRA}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DARCHIVE=$<TARGET_FILE:torvane_core>
      -DINPUT=${input} -DOUTPUT=${output} "-DEXTRA=${extra}" -P ${TORVANE_EXPORT_FILTER}
    DEPENDS torvane_core $<TARGET_FILE:torvane_core> ${input} ${TORVANE_EXPORT_FILTER}
    COMMENT "Export list ${output}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${output})
endfunction()
