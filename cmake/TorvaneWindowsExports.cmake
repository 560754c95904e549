# SPDX-License-Identifier: MIT
# Module definition files of DLLs that export the driver's functions.

# torvane_export_list(<output .def> EXTRA <names...>): src/exports/torvane.def
# with further exports appended (the test driver's test functions).
function(torvane_export_list output)
  cmake_parse_arguments(ARG "" "" "EXTRA" ${ARGN})
  set(input ${PROJECT_SOURCE_DIR}/src/exports/torvane.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
  file(READ ${input} text)
  string(APPEND text "; Exports of this build only\n")
  foreach(name IN LISTS ARG_EXTRA)
    string(APPEND text "\t${name}\n")
  endforeach()
  file(CONFIGURE OUTPUT ${output} CONTENT "${text}" @ONLY)
endfunction()
