# cmake -DPROGRAM= -DPAGE=<page.scd> -DEXAMPLE=c|web -DWORK= -P man_example_run.cmake
# Runs a manual page's example program on requests and compares each whole
# answer: the first with the answer the page shows (its code block after
# "; example output"), the others, which the page does not show, with the
# answers written here. Line breaks are compared as LF.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/../install/readme_blocks.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/../install/run_checked.cmake")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

file(READ "${PAGE}" page)
marked_code_block("${page}" "; example output" "${PAGE}" shown)

# No request of the caller's reaches a case.
foreach(name REQUEST_METHOD QUERY_STRING CONTENT_LENGTH CONTENT_TYPE HTTP_COOKIE CGIECHO_MAX_BODY CGIECHO_MEMORY
             CGIECHO_CAPTURE_DIR)
  unset(ENV{${name}})
endforeach()

# run_case(<name> <stdin> <expected> <variable>...): the program with these
# variables and this standard input.
function(run_case name input expected)
  file(WRITE "${WORK}/${name}.in" "${input}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env ${ARGN} "${PROGRAM}"
    INPUT_FILE "${WORK}/${name}.in" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${EXAMPLE} example, ${name}: exit status ${rc}\n${out}\n${err}")
  endif()
  file(WRITE "${WORK}/${name}.expected" "${expected}")
  expect_output("${EXAMPLE} example, ${name}" "${out}" "${WORK}/${name}.expected")
endfunction()

if(EXAMPLE STREQUAL "c")
  run_case("the page's request" "" "${shown}" REQUEST_METHOD=GET "QUERY_STRING=name=Ann+Lee&x=1")
  # "<" and ">" of a field's value come back as the bytes 0xAB and 0xBB.
  string(ASCII 171 left)
  string(ASCII 187 right)
  run_case("a POST body" "name=%3Cb%3E&y" "Content-type: text/html\n\nmethod: POST\nname: ${left}b${right}\nencoded again: %ABb%BB\n"
    REQUEST_METHOD=POST CONTENT_LENGTH=14)
  run_case("no form data" "" "Content-type: text/html\n\nno form data\n" REQUEST_METHOD=GET)
elseif(EXAMPLE STREQUAL "web")
  # Set here, not as an argument: its ";" would split a CMake list.
  set(ENV{HTTP_COOKIE} "theme=\"dark&light\"; junk")
  run_case("the page's request" "" "${shown}" REQUEST_METHOD=GET "QUERY_STRING=name=Ann+%3CLee%3E&x")
  unset(ENV{HTTP_COOKIE})
  # A plain HTTP request to no host that browsers treat as secure: the
  # cookie is not Secure.
  set(head "Content-Type: text/html; charset=UTF-8\nSet-Cookie: seen=1; Path=/; Max-Age=3600; HttpOnly; SameSite=Lax\n\n")
  set(stranger "<ul>\n<li>name: stranger</li>\n")
  run_case("a body that is no form" "a\nb\n" "${head}${stranger}<li>body: 4 bytes, 2 lines</li>\n</ul>\n"
    REQUEST_METHOD=PUT CONTENT_TYPE=text/plain CONTENT_LENGTH=4)
  # Past CGIECHO_MEMORY the body is read back from its temp file.
  run_case("a body in a temp file" "a\nb\n" "${head}${stranger}<li>body: 4 bytes, 2 lines</li>\n</ul>\n"
    REQUEST_METHOD=PUT CONTENT_TYPE=text/plain CONTENT_LENGTH=4 CGIECHO_MEMORY=2)
  set(form CONTENT_TYPE=application/x-www-form-urlencoded)
  run_case("a form without its number" "a=%3C&b"
    "${head}${stranger}<li>error: age is required</li>\n<li>body: 7 bytes, 0 lines</li>\n</ul>\n"
    REQUEST_METHOD=POST ${form} CONTENT_LENGTH=7)
  run_case("a form with every field" "tag=a&tag=%3Cb%3E&age=42"
    "${head}${stranger}<li>tag: a</li>\n<li>tag: &lt;b&gt;</li>\n<li>age: 42</li>\n<li>body: 24 bytes, 0 lines</li>\n</ul>\n"
    REQUEST_METHOD=POST ${form} CONTENT_LENGTH=24)
  run_case("a number out of range" "age=200"
    "${head}${stranger}<li>error: age is out of range</li>\n<li>body: 7 bytes, 0 lines</li>\n</ul>\n"
    REQUEST_METHOD=POST ${form} CONTENT_LENGTH=7)
  run_case("no number at all" "age=4x"
    "${head}${stranger}<li>error: age is not a number</li>\n<li>body: 6 bytes, 0 lines</li>\n</ul>\n"
    REQUEST_METHOD=POST ${form} CONTENT_LENGTH=6)
  set(ENV{CONTENT_TYPE} "multipart/form-data; boundary=XX")
  run_case("a multipart form with a file"
    "--XX\r\nContent-Disposition: form-data; name=\"tag\"\r\n\r\nt1\r\n--XX\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nabc\r\n--XX--\r\n"
    "${head}${stranger}<li>tag: t1</li>\n<li>error: age is required</li>\n<li>file f: 3 bytes</li>\n<li>body: 0 bytes, 0 lines</li>\n</ul>\n"
    REQUEST_METHOD=POST CONTENT_LENGTH=136)
  unset(ENV{CONTENT_TYPE})
  run_case("a HEAD request" "" "${head}" REQUEST_METHOD=HEAD QUERY_STRING=x=1)
  set(plain "Content-Type: text/plain; charset=UTF-8\n\n")
  run_case("a limit that is no number" "" "Status: 500 Internal Server Error\n${plain}invalid_limit\n"
    REQUEST_METHOD=GET CGIECHO_MAX_BODY=1k)
  run_case("a limit passed" "abcd" "Status: 413 Content Too Large\n${plain}body_too_large\n"
    REQUEST_METHOD=PUT CONTENT_LENGTH=4 CGIECHO_MAX_BODY=3)
  run_case("a short body" "abc" "Status: 400 Bad Request\n${plain}body_truncated\n"
    REQUEST_METHOD=PUT CONTENT_LENGTH=4)
else()
  message(FATAL_ERROR "EXAMPLE is c or web, not '${EXAMPLE}'")
endif()
