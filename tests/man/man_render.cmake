# cmake -DMAN= -DPAGE=<roff> -DSOURCE=<page.scd> [-DROUTINES=<file>] -P man_render.cmake
# A manual page as man shows it: no warning from the formatter, the
# sections every page has; and, given ROUTINES (one exported name a line),
# every routine of the C interface named in the page's source, a fixed
# accessor CGI_<VARIABLE> by its variable.
cmake_minimum_required(VERSION 3.20)
set(ENV{MANWIDTH} 80)
set(ENV{MANPAGER} cat)
set(ENV{PAGER} cat)
execute_process(COMMAND "${MAN}" --warnings -l "${PAGE}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "man --warnings -l ${PAGE} (status ${rc}) says:\n${err}")
endif()
foreach(section NAME DESCRIPTION "SEE ALSO")
  if(NOT out MATCHES "\n${section}\n")
    message(FATAL_ERROR "${PAGE} has no ${section} section:\n${out}")
  endif()
endforeach()

if(ROUTINES)
  file(READ "${SOURCE}" source)
  file(STRINGS "${ROUTINES}" routines)
  list(LENGTH routines count)
  if(NOT count EQUAL 52)
    message(FATAL_ERROR "${ROUTINES} lists ${count} routines, not 52")
  endif()
  foreach(routine IN LISTS routines)
    string(REGEX REPLACE "^CGI_" "" variable "${routine}")
    string(FIND "${source}" "${routine}(" as_call)
    string(FIND "${source}" "*${variable}*" as_variable)
    if(as_call EQUAL -1 AND as_variable EQUAL -1)
      message(FATAL_ERROR "${SOURCE} does not show ${routine}")
    endif()
  endforeach()
endif()
message(STATUS "${PAGE}: renders without a warning")
