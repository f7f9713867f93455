# Helpers for the packaging tests: run a step and stop the test with its
# output when it fails (run_output and run_errors hold what it wrote), and
# compare a program's output with a file.
function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
  set(run_errors "${err}" PARENT_SCOPE)
endfunction()

# Line breaks are compared as LF: execute_process may already have turned
# CR LF into LF, and a Windows program writes CR LF.
function(expect_output what actual expected_file)
  file(READ "${expected_file}" expected)
  string(REPLACE "\r\n" "\n" actual "${actual}")
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${what}: unexpected output.\n--- got:\n${actual}--- expected:\n${expected}")
  endif()
  message(STATUS "${what}: output as expected")
endfunction()
