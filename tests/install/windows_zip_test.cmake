# cmake -DZIP= -DSOURCE_DIR= -DWORK= -DMINGW_CC= -DTOOLCHAIN= -DWINE= [-DWINEARCH=win32 -DWINEPREFIX=]
#       -P windows_zip_test.cmake
# Unpacks cgiecho-win64.zip (or cgiecho-win32.zip) and checks what it holds,
# builds examples/consumer.c with the matching mingw-w64 compiler against
# the unpacked header and import library alone, and runs it under Wine,
# where it calls cgiecho.dll with oleaut32's BSTRs and SAFEARRAYs; the
# packed cgiecho-replay.exe then replays a recorded request against the
# packed cgiecho.exe. Last, the zip as a CMake package: examples/web
# (cgiecho::web) and examples/responder's program (cgiecho::embed, libfcgi
# inside) are configured with the mingw toolchain file against the unpacked
# zip alone, built and run under Wine.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/installed_files.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/web_example_run.cmake")
foreach(tool ZIP MINGW_CC TOOLCHAIN WINE)
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
  lib libcgiecho.dll.a)
if(NOT contents STREQUAL wanted)
  message(FATAL_ERROR "the zip holds ${contents}, not ${wanted}")
endif()
# include/: the public headers that `cmake --install` installs (a header
# kept in src/ is the library's own and must not be packed), cgiecho.h among
# them for cgiecho::cgiecho, and the web headers' result type, header-only,
# with its licence.
file(GLOB_RECURSE included RELATIVE "${dir}/include" "${dir}/include/*")
list(TRANSFORM public_headers REPLACE "^include/" "" OUTPUT_VARIABLE public)
set(wanted ${public} tl/expected.copyright tl/expected.hpp)
list(SORT included)
list(SORT wanted)
if(NOT included STREQUAL wanted)
  message(FATAL_ERROR "the zip's include/ holds ${included},\nnot ${wanted}")
endif()
# lib/: the static library of every layer, the licence of the libfcgi
# code that serve's holds, and the CMake package, whose targets file names
# the zip's own places.
file(GLOB_RECURSE libs RELATIVE "${dir}/lib" "${dir}/lib/*")
set(wanted cmake/cgiecho/cgiechoConfig.cmake cmake/cgiecho/cgiechoConfigVersion.cmake
  cmake/cgiecho/cgiechoZipTargets.cmake cmake/cgiecho/cgiechoZipTargets-release.cmake libfcgi.copyright)
foreach(layer IN LISTS installed_layers)
  list(APPEND wanted libcgiecho_${layer}.a)
endforeach()
list(SORT libs)
list(SORT wanted)
if(NOT libs STREQUAL wanted)
  message(FATAL_ERROR "the zip's lib/ holds ${libs},\nnot ${wanted}")
endif()
file(READ "${dir}/lib/libfcgi.copyright" fcgi_licence)
if(NOT fcgi_licence MATCHES "Open Market permits you to use, copy, modify, distribute")
  message(FATAL_ERROR "lib/libfcgi.copyright is not libfcgi's licence")
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

# The zip as a CMake package, for a mingw-w64 build: find_package finds it
# and tl::expected in it, and nothing of this machine's (no tl-expected or
# libfcgi package is looked for). -static, as the zip's programs are built:
# the program needs no mingw runtime DLLs beside it.
set(package_args "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_PREFIX_PATH=${dir}"
  -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF -DCMAKE_DISABLE_FIND_PACKAGE_tl-expected=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_fcgi=ON)
file(REMOVE_RECURSE "${WORK}/web_example")
run_checked("configuring examples/web on the zip" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/web"
  -B "${WORK}/web_example" -DCGIECHO_FROM=package ${package_args})
run_checked("building examples/web on the zip" "${CMAKE_COMMAND}" --build "${WORK}/web_example" -j 2)
web_example_run("${WORK}/web_example/web_example.exe" "${WINE}")

# cgiecho::embed: the request loop, with libfcgi compiled into the serve
# layer's library.
set(probe "${WORK}/responder")
file(REMOVE_RECURSE "${probe}")
file(WRITE "${probe}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.20)
project(cgiecho_zip_responder LANGUAGES CXX)
find_package(cgiecho 2 REQUIRED COMPONENTS embed)
add_executable(responder \"${SOURCE_DIR}/examples/responder/responder.cpp\")
target_link_libraries(responder PRIVATE cgiecho::embed)
")
run_checked("configuring a cgiecho::embed program on the zip" "${CMAKE_COMMAND}" -S "${probe}"
  -B "${probe}/build" ${package_args})
run_checked("building a cgiecho::embed program on the zip" "${CMAKE_COMMAND}" --build "${probe}/build")
run_checked("the cgiecho::embed program under Wine" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET
  "QUERY_STRING=name=Ann&x=1" "${WINE}" "${probe}/build/responder.exe")
if(NOT run_output MATCHES "Hello, Ann\\.\r?\n.*2 fields")
  message(FATAL_ERROR "the cgiecho::embed program answered:\n${run_output}")
endif()
