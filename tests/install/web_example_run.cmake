# web_example_run(<program> [<launcher>...]): runs examples/web as a web
# server would for one GET request with a cookie and compares its whole
# response with the expected one; then the refusals the README promises,
# each a row of variables, standard input and the answer. A launcher (Wine
# for a Windows build) comes before the program on each command line.
function(web_example_run program)
  # Set here, not as an argument: its ";" would split a CMake list.
  set(ENV{HTTP_COOKIE} "theme=\"dark&light\"; junk")
  run_checked("web_example" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET "QUERY_STRING=name=Ann+%3CLee%3E&x"
    ${ARGN} "${program}")
  unset(ENV{HTTP_COOKIE})
  expect_output("web_example" "${run_output}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/web_example.expected")

  # TYPE stands for the head's plain-text type, whose ";" would split a row.
  set(refusals
    "REQUEST_METHOD=GET CGIECHO_MAX_BODY=1k||Status: 500 Internal Server Error\nTYPEinvalid_limit\n"
    "REQUEST_METHOD=PUT CONTENT_LENGTH=4 CGIECHO_MAX_BODY=3|abcd|Status: 413 Content Too Large\nTYPEbody_too_large\n"
    "REQUEST_METHOD=PUT CONTENT_LENGTH=4|abc|Status: 400 Bad Request\nTYPEbody_truncated\n")
  foreach(row IN LISTS refusals)
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 variables)
    list(GET row 1 input)
    list(GET row 2 expected)
    string(REPLACE "TYPE" "Content-Type: text/plain; charset=UTF-8\n\n" expected "${expected}")
    separate_arguments(variables UNIX_COMMAND "${variables}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env ${variables} sh -c "printf '%s' '${input}' | \"$@\"" sh
      ${ARGN} "${program}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(REPLACE "\r\n" "\n" out "${out}")
    if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
      message(FATAL_ERROR "web_example with ${variables}: exit status ${rc}, answered\n${out}\nnot\n${expected}")
    endif()
    message(STATUS "web_example with ${variables}: ${rc}, as expected")
  endforeach()
endfunction()
