# cmake -DZIP= -DSOURCE_DIR= -DWORK= -DMINGW_CC= -DWINE= [-DWINEARCH=win32 -DWINEPREFIX=]
#       -P windows_zip_test.cmake
# Unpacks cgiecho-win64.zip (or cgiecho-win32.zip), builds examples/consumer.c
# with the matching mingw-w64 compiler against the unpacked header and
# import library alone, and runs it under Wine, where it calls cgiecho.dll
# with oleaut32's BSTRs and SAFEARRAYs; the packed cgiecho-replay.exe then
# replays a recorded request against the packed cgiecho.exe.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
foreach(tool ZIP MINGW_CC WINE)
  if(NOT EXISTS "${${tool}}")
    message(FATAL_ERROR "${tool} not found: '${${tool}}' (make windows builds the zip; "
                        "scripts/deps.sh installs mingw-w64 and Wine)")
  endif()
endforeach()

set(unpacked "${WORK}/unpacked")
file(REMOVE_RECURSE "${unpacked}")
file(MAKE_DIRECTORY "${unpacked}")
run_checked("unpacking" "${CMAKE_COMMAND}" -E chdir "${unpacked}" "${CMAKE_COMMAND}" -E tar xf "${ZIP}")

get_filename_component(zip_name "${ZIP}" NAME_WE)
set(dir "${unpacked}/${zip_name}")
file(GLOB contents RELATIVE "${dir}" "${dir}/*")
list(SORT contents)
set(wanted cgiecho-inspect.exe cgiecho-replay.exe cgiecho.def cgiecho.dll cgiecho.exe cgiecho.h include
  libcgiecho.dll.a)
if(NOT contents STREQUAL wanted)
  message(FATAL_ERROR "the zip holds ${contents}, not ${wanted}")
endif()
# The web headers' result type, header-only, with its licence, and nothing
# else under include/.
file(GLOB_RECURSE included RELATIVE "${dir}/include" "${dir}/include/*")
list(SORT included)
if(NOT included STREQUAL "tl/expected.copyright;tl/expected.hpp")
  message(FATAL_ERROR "the zip's include/ holds ${included}")
endif()
file(READ "${dir}/include/tl/expected.copyright" expected_licence)
if(NOT expected_licence MATCHES "CC0-1.0")
  message(FATAL_ERROR "include/tl/expected.copyright is not the header's licence")
endif()
file(WRITE "${WORK}/expected_use.cpp" "#include <tl/expected.hpp>\n"
  "int main() { tl::expected<int, char> r = tl::make_unexpected('x'); return r ? 1 : 0; }\n")
run_checked("compiling against the zip's tl/expected.hpp" "${MINGW_CC}" -x c++ -std=c++17 -fsyntax-only
  -Wall -Wextra -Wpedantic -Werror "-I${dir}/include" "${WORK}/expected_use.cpp")
file(STRINGS "${dir}/cgiecho.def" def_head LIMIT_COUNT 1)
if(NOT def_head STREQUAL "LIBRARY cgiecho.dll")
  message(FATAL_ERROR "cgiecho.def begins with '${def_head}'")
endif()

# -static: the program needs no mingw runtime DLLs beside cgiecho.dll.
run_checked("building consumer.exe" "${MINGW_CC}" -std=c99 -Wall -Wextra -Werror -static
  "-I${dir}" "${SOURCE_DIR}/examples/consumer.c" "${dir}/libcgiecho.dll.a" -loleaut32
  -o "${dir}/consumer.exe")

# A Wine prefix of the test's own unless one is given, kept between runs:
# making one is slow.
if(NOT WINEPREFIX)
  set(WINEPREFIX "${WORK}/wineprefix")
endif()
set(ENV{WINEPREFIX} "${WINEPREFIX}")
set(ENV{WINEDEBUG} "-all")
if(WINEARCH)
  set(ENV{WINEARCH} "${WINEARCH}")
endif()
if(NOT EXISTS "${WINEPREFIX}/system.reg")
  run_checked("wineboot" "${WINE}" wineboot -i)
endif()

run_checked("consumer.exe under Wine" "${WINE}" "${dir}/consumer.exe")
expect_output("consumer.exe" "${run_output}" "${CMAKE_CURRENT_LIST_DIR}/consumer.expected")

# The packed program is the echo program.
run_checked("cgiecho.exe under Wine" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET "QUERY_STRING=x=a<b"
  "${WINE}" "${dir}/cgiecho.exe")
if(NOT run_output MATCHES "<html><body>x=a&lt;b\r?\n</body></html>$")
  message(FATAL_ERROR "cgiecho.exe answered:\n${run_output}")
endif()

# The packed inspector needs nothing beside it either.
run_checked("cgiecho-inspect.exe under Wine" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET "QUERY_STRING=x=1"
  "${WINE}" "${dir}/cgiecho-inspect.exe")
if(NOT run_output MATCHES "^Status: 200 OK\r?\n.*\"args\":\\[\\[\"x\",\"1\"\\]\\]")
  message(FATAL_ERROR "cgiecho-inspect.exe answered:\n${run_output}")
endif()

# The packed replay runs the packed echo program on a recorded request.
run_checked("cgiecho-replay.exe under Wine" "${WINE}" "${dir}/cgiecho-replay.exe" --compare
  "Z:${SOURCE_DIR}/tests/captures/echo/lighttpd-post-urlencoded.capture" -- cgiecho.exe)
if(NOT run_output MATCHES "^same: [0-9]+ bytes")
  message(FATAL_ERROR "cgiecho-replay.exe answered:\n${run_output}")
endif()
