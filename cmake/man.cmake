# The manual pages: docs/man/<name>.<section>.scd, turned into roff by scdoc
# in the build folder (man/<name>.<section>) as part of `all`, and gzipped
# there (-9n, as Debian asks of installed pages) for cmake/install.cmake.
# The Windows builds carry no pages and need no scdoc.
#
# Run as a script, it makes one page:
#   cmake -DSCDOC= -DSOURCE=<page.scd> -DOUTPUT=<roff> -P man.cmake
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND "${SCDOC}" INPUT_FILE "${SOURCE}" OUTPUT_FILE "${OUTPUT}.new"
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    file(REMOVE "${OUTPUT}.new")
    message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${err}")
  endif()
  file(RENAME "${OUTPUT}.new" "${OUTPUT}")
  execute_process(COMMAND gzip -9nc "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip failed (${rc}) on ${OUTPUT}")
  endif()
  return()
endif()

# Each page as <name>.<section>; the tests render every one.
set(CGIECHO_MAN_PAGES cgiecho.1 cgiecho-inspect.1 cgiecho-replay.1 cgiecho.3 cgiecho-web.3)
if(WIN32)
  set(CGIECHO_MAN_PAGES "")
  return()
endif()

find_program(CGIECHO_SCDOC scdoc)
if(NOT CGIECHO_SCDOC)
  message(FATAL_ERROR "scdoc not found: the manual pages need it (install scdoc; scripts/deps.sh does)")
endif()

set(man_outputs "")
foreach(page IN LISTS CGIECHO_MAN_PAGES)
  set(source "${PROJECT_SOURCE_DIR}/docs/man/${page}.scd")
  set(roff "${PROJECT_BINARY_DIR}/man/${page}")
  add_custom_command(OUTPUT "${roff}" "${roff}.gz"
    COMMAND "${CMAKE_COMMAND}" "-DSCDOC=${CGIECHO_SCDOC}" "-DSOURCE=${source}" "-DOUTPUT=${roff}"
            -P "${CMAKE_CURRENT_LIST_FILE}"
    DEPENDS "${source}" "${CMAKE_CURRENT_LIST_FILE}"
    COMMENT "Manual page ${page}"
    VERBATIM)
  list(APPEND man_outputs "${roff}" "${roff}.gz")
endforeach()
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/man")
add_custom_target(cgiecho_man ALL DEPENDS ${man_outputs})
