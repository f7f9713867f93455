# cmake -DSOURCE_DIR= -DWORK= -DLIBRARY= -DC_COMPILER= [-DC_FLAGS=] -DMINGW_CC= -DMINGW32_CC=
#       [-DWINDOWS32_DLL= -DWINE32= -DWINE32_PREFIX=] -P readme_examples_test.cmake
# The library's documented examples, kept real (readme_blocks.cmake says
# where each is, in the README and docs/): the Linux C example is built
# against the library and run, the Windows one is compiled with mingw-w64,
# the 32-bit one that loads the DLL itself is built with the i686 compiler
# (and run under 32-bit Wine beside the 32-bit DLL when one is given), and
# the C++ one must be examples/core's program, which the core_example test
# builds and runs.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/readme_blocks.cmake")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

readme_code_blocks("${SOURCE_DIR}" "${WORK}")

separate_arguments(extra_flags UNIX_COMMAND "${C_FLAGS}")
get_filename_component(libdir "${LIBRARY}" DIRECTORY)
run_checked("building the Linux C example" "${C_COMPILER}" -std=c99 -Wall -Wextra -Werror ${extra_flags}
  "-I${SOURCE_DIR}/include" "${linux_c}" "${LIBRARY}" -o "${WORK}/linux_example")
set(ENV{LD_LIBRARY_PATH} "${libdir}")
run_checked("the Linux C example" "${WORK}/linux_example")
if(NOT run_output STREQUAL "Ann Lee|Ann+Lee\n")
  message(FATAL_ERROR "the Linux C example printed '${run_output}'")
endif()

run_checked("compiling the Windows C example" "${MINGW_CC}" -std=c99 -Wall -Wextra -Werror -fsyntax-only
  "-I${SOURCE_DIR}/include" "${windows_c}")

# No header and no import library: what the example needs is in its text.
run_checked("building the 32-bit Windows C example" "${MINGW32_CC}" -std=c99 -Wall -Wextra -Werror -static
  "${windows32_c}" -loleaut32 -o "${WORK}/app32.exe")
if(WINDOWS32_DLL)
  file(COPY "${WINDOWS32_DLL}" DESTINATION "${WORK}")
  set(ENV{WINEPREFIX} "${WINE32_PREFIX}")
  set(ENV{WINEARCH} "win32")
  set(ENV{WINEDEBUG} "-all")
  run_checked("the 32-bit Windows C example under Wine" "${WINE32}" "${WORK}/app32.exe")
  string(REPLACE "\r\n" "\n" run_output "${run_output}")
  if(NOT run_output STREQUAL "Ann Lee|Ann+Lee\n")
    message(FATAL_ERROR "the 32-bit Windows C example printed '${run_output}'")
  endif()
endif()

file(READ "${cpp}" readme_cpp)
file(READ "${SOURCE_DIR}/examples/core/core_example.cpp" example_cpp)
if(NOT readme_cpp STREQUAL example_cpp)
  message(FATAL_ERROR "the C++ example of docs/embedding.md differs from examples/core/core_example.cpp")
endif()
message(STATUS "the documented examples: all four hold")

# The responder example of the FastCGI section is examples/responder's
# program, which the FastCGI tests build and run both ways.
file(READ "${SOURCE_DIR}/README.md" readme)
file(READ "${SOURCE_DIR}/examples/responder/responder.cpp" responder_cpp)
string(FIND "${readme}" "```cpp\n${responder_cpp}```" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the README's responder example differs from examples/responder/responder.cpp")
endif()
