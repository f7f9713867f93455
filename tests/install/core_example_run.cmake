# core_example_run(<program>): runs examples/core as a web server would for
# one GET request and compares its whole response with the expected page.
function(core_example_run program)
  run_checked("core_example" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET
    "QUERY_STRING=name=Ann+Lee&note=1+%3C+2&x" "${program}")
  expect_output("core_example" "${run_output}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/core_example.expected")
endfunction()
