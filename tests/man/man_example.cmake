# cmake -DPAGE=<page.scd> -DOUT=<source> -P man_example.cmake
# Writes the example program of a manual page (the code block after its
# comment line "; example program") to OUT, as a reader copies it from the
# rendered page: scdoc reads "\\" in the source as one backslash. OUT is
# rewritten only when the program changed, so that a change elsewhere in
# the page does not rebuild it.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/../install/readme_blocks.cmake")

file(READ "${PAGE}" page)
marked_code_block("${page}" "; example program" "${PAGE}" program)
# Any other backslash would be an escape that scdoc drops, so the page
# would show a program other than this one.
string(REPLACE "\\\\" "" rest "${program}")
if(rest MATCHES "\\\\")
  message(FATAL_ERROR "${PAGE}: a single backslash in the example program, which scdoc would drop; write \\\\")
endif()
string(REPLACE "\\\\" "\\" program "${program}")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL program)
  file(WRITE "${OUT}" "${program}")
endif()
