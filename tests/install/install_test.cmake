# cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK= -DLIBDIR= -DC_COMPILER= -DCXX_COMPILER= [-DC_FLAGS=]
#       -P install_test.cmake
# Installs the build into a fresh prefix, checks what landed there and that
# each installed header compiles alone, then builds examples/consumer.c
# against the installed tree only, once through find_package and once
# through pkg-config, and runs both; the C++ examples likewise.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/installed_files.cmake")
set(prefix "${WORK}/prefix")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

run_checked("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

# The public header, the layers for embedding; the test programs stay in the
# build tree.
file(GLOB_RECURSE installed RELATIVE "${prefix}" LIST_DIRECTORIES false "${prefix}/*")
list(SORT installed)
installed_files(wanted "${SOURCE_DIR}" "${LIBDIR}")
expect_files("the installed tree" "${installed}" "${wanted}" "${LIBDIR}")

# Each installed header compiles alone, twice in a row, as C++17 with every
# warning an error, with nothing but the installed include/ on the search
# path: a header that leans on another it does not include, on a header that
# is not installed, or on one found elsewhere fails here. The list comes
# from the install, so a new header is covered without a word here.
file(GLOB_RECURSE headers RELATIVE "${prefix}/include" "${prefix}/include/*.h")
set(units "")
foreach(header IN LISTS headers)
  string(MAKE_C_IDENTIFIER "${header}" unit)
  set(unit "${WORK}/headers/${unit}.cpp")
  file(WRITE "${unit}" "#include <${header}>\n#include <${header}>\n")
  list(APPEND units "${unit}")
endforeach()
run_checked("compiling each installed header alone" "${CXX_COMPILER}" -fsyntax-only -std=c++17
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror "-I${prefix}/include" ${units})
list(LENGTH units count)
message(STATUS "${count} installed headers compile alone")

# <cgiecho/web.h> holds the whole web layer: every installed header of it.
file(READ "${prefix}/include/cgiecho/web.h" umbrella)
file(GLOB web_headers RELATIVE "${prefix}/include" "${prefix}/include/cgiecho/web/*.h")
foreach(header IN LISTS web_headers)
  string(FIND "${umbrella}" "#include <${header}>\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "cgiecho/web.h does not include <${header}>")
  endif()
endforeach()

# The installed program is the echo program.
run_checked("installed cgiecho" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET "QUERY_STRING=x=a<b"
  "${prefix}/bin/cgiecho")
if(NOT run_output MATCHES "<html><body>x=a&lt;b\r?\n</body></html>$")
  message(FATAL_ERROR "installed cgiecho answered:\n${run_output}")
endif()

set(ENV{LD_LIBRARY_PATH} "${prefix}/${LIBDIR}")
set(expected "${CMAKE_CURRENT_LIST_DIR}/consumer.expected")

# 1. find_package(cgiecho) and cgiecho::cgiecho.
run_checked("configuring the find_package consumer" "${CMAKE_COMMAND}"
  -S "${SOURCE_DIR}/examples" -B "${WORK}/find_package"
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
  "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror -std=c99 -pedantic ${C_FLAGS}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
run_checked("building the find_package consumer" "${CMAKE_COMMAND}" --build "${WORK}/find_package")
run_checked("the find_package consumer" "${WORK}/find_package/consumer")
expect_output("find_package consumer" "${run_output}" "${expected}")

# 2. pkg-config --cflags --libs cgiecho, with nothing but the installed .pc.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
set(ENV{PKG_CONFIG_LIBDIR} "${prefix}/${LIBDIR}/pkgconfig")
run_checked("pkg-config" pkg-config --cflags --libs cgiecho)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra_flags UNIX_COMMAND "${C_FLAGS}")
run_checked("building the pkg-config consumer" "${C_COMPILER}" -std=c99 -pedantic -Wall -Wextra -Werror
  ${extra_flags} "${SOURCE_DIR}/examples/consumer.c" -o "${WORK}/consumer_pc" ${pc_flags})
run_checked("the pkg-config consumer" "${WORK}/consumer_pc")
expect_output("pkg-config consumer" "${run_output}" "${expected}")

# 3. A C++ program on the installed core: examples/core through
# find_package(cgiecho) and cgiecho::embed, answering a real request.
include("${CMAKE_CURRENT_LIST_DIR}/core_example_run.cmake")
run_checked("configuring examples/core on the installed package" "${CMAKE_COMMAND}"
  -S "${SOURCE_DIR}/examples/core" -B "${WORK}/core_example" -DCGIECHO_FROM=package
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_CXX_FLAGS=${C_FLAGS}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
run_checked("building examples/core" "${CMAKE_COMMAND}" --build "${WORK}/core_example")
core_example_run("${WORK}/core_example/core_example")

# 4. A C++ program on the installed web layer: examples/web through
# find_package(cgiecho) and cgiecho::web, and through pkg-config cgiecho-web.
include("${CMAKE_CURRENT_LIST_DIR}/web_example_run.cmake")
run_checked("configuring examples/web on the installed package" "${CMAKE_COMMAND}"
  -S "${SOURCE_DIR}/examples/web" -B "${WORK}/web_example" -DCGIECHO_FROM=package
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_CXX_FLAGS=${C_FLAGS}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
run_checked("building examples/web" "${CMAKE_COMMAND}" --build "${WORK}/web_example")
web_example_run("${WORK}/web_example/web_example")
run_checked("pkg-config cgiecho-web" pkg-config --cflags --libs cgiecho-web)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run_checked("building examples/web with pkg-config" "${CXX_COMPILER}" -std=c++17 -Wall -Wextra -Werror
  ${extra_flags} "${SOURCE_DIR}/examples/web/web_example.cpp" -o "${WORK}/web_example_pc" ${pc_flags})
web_example_run("${WORK}/web_example_pc")

