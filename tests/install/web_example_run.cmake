# web_example_run(<program>): runs examples/web as a web server would for
# one GET request with a cookie and compares its whole response with the
# expected one.
function(web_example_run program)
  # Set here, not as an argument: its ";" would split a CMake list.
  set(ENV{HTTP_COOKIE} "theme=\"dark&light\"; junk")
  run_checked("web_example" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET "QUERY_STRING=name=Ann+%3CLee%3E&x"
    "${program}")
  unset(ENV{HTTP_COOKIE})
  expect_output("web_example" "${run_output}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/web_example.expected")
endfunction()
