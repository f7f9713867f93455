# cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK= -DLIBDIR= -DC_COMPILER= -DCXX_COMPILER= [-DC_FLAGS=]
#       -P install_test.cmake
# Installs the build into a fresh prefix, checks what landed there and that
# each installed header compiles alone, then builds examples/consumer.c
# against the installed tree only, once through find_package and once
# through pkg-config, and runs both; the C++ examples likewise, and
# find_package's components with and without libfcgi.
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
installed_files(wanted "${LIBDIR}")
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
# find_package(cgiecho) and cgiecho::web.
include("${CMAKE_CURRENT_LIST_DIR}/web_example_run.cmake")
# It asks for the web component alone, which needs no libfcgi: the lookup
# is turned off to show it.
run_checked("configuring examples/web on the installed package" "${CMAKE_COMMAND}"
  -S "${SOURCE_DIR}/examples/web" -B "${WORK}/web_example" -DCGIECHO_FROM=package
  -DCMAKE_DISABLE_FIND_PACKAGE_fcgi=ON
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_CXX_FLAGS=${C_FLAGS}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
run_checked("building examples/web" "${CMAKE_COMMAND}" --build "${WORK}/web_example")
web_example_run("${WORK}/web_example/web_example")

# 5. The README's C++ programs through pkg-config and the installed .pc
# files alone. Each row: the .pc file, the program, and the run that checks
# its answer: the web layer's example (cgiecho-web) and the FastCGI
# section's responder, run once as CGI (cgiecho-serve: the core, serve and
# the machine's libfcgi).
function(responder_run program)
  run_checked("the responder" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET "QUERY_STRING=name=Ann&x=1" "${program}")
  if(NOT run_output MATCHES "Hello, Ann\\.\r?\n.*2 fields")
    message(FATAL_ERROR "the responder answered:\n${run_output}")
  endif()
endfunction()
set(pkg_config_cases
  "cgiecho-web|examples/web/web_example.cpp|web_example_run"
  "cgiecho-serve|examples/responder/responder.cpp|responder_run")
foreach(case IN LISTS pkg_config_cases)
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 package)
  list(GET case 1 source)
  list(GET case 2 check)
  run_checked("pkg-config ${package}" pkg-config --cflags --libs ${package})
  string(STRIP "${run_output}" pc_flags)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  get_filename_component(name "${source}" NAME_WE)
  run_checked("building ${source} with pkg-config ${package}" "${CXX_COMPILER}" -std=c++17 -Wall -Wextra
    -Werror ${extra_flags} "${SOURCE_DIR}/${source}" -o "${WORK}/${name}_pc" ${pc_flags})
  cmake_language(CALL ${check} "${WORK}/${name}_pc")
endforeach()

# 6. find_package(cgiecho) by component: libfcgi is looked for only for
# serve and embed, tl-expected only for web, both when no component is
# named. Each row: the components asked for, the lookup turned off (off:
# fcgi's, expected-off: tl-expected's, on: none) and what configuring says
# (found, or the words of the failure).
set(components_cases
  "web|expected-off|tl-expected-config.cmake"
  "|expected-off|tl-expected-config.cmake"
  "codec request serve embed|expected-off|found"
  "web|off|found"
  "web codec platform capture request|off|found"
  "cgiecho core|off|found"
  "serve|off|component serve: libfcgi"
  "web embed|off|component embed: libfcgi"
  "|off|libfcgi, which cgiecho::serve"
  "web serve embed|on|found"
  "|on|found"
  "web nonsense|on|no component nonsense")
# Where the build found tl-expected's package, for the rows that hide it.
file(STRINGS "${BUILD_DIR}/CMakeCache.txt" expected_dir REGEX "^tl-expected_DIR:")
string(REGEX REPLACE "^[^=]*=" "" expected_dir "${expected_dir}")
if(NOT IS_DIRECTORY "${expected_dir}")
  message(FATAL_ERROR "the build found no tl-expected package ('${expected_dir}')")
endif()
set(probe "${WORK}/components")
file(WRITE "${probe}/CMakeLists.txt" [[
cmake_minimum_required(VERSION 3.20)
# A language, for the library folders of this machine that Findfcgi searches.
project(cgiecho_components LANGUAGES CXX)
separate_arguments(components UNIX_COMMAND "${COMPONENTS}")
if(components)
  find_package(cgiecho 2.0 REQUIRED COMPONENTS ${components})
  foreach(component IN LISTS components)
    if(NOT cgiecho_${component}_FOUND)
      message(FATAL_ERROR "cgiecho_${component}_FOUND is not set")
    endif()
  endforeach()
else()
  find_package(cgiecho 2.0 REQUIRED)
  set(components cgiecho embed serve web)
endif()
foreach(component IN LISTS components)
  if(component STREQUAL "cgiecho")
    set(target cgiecho::cgiecho)
  else()
    set(target cgiecho::${component})
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "no ${target}")
  endif()
endforeach()
]])
foreach(case IN LISTS components_cases)
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 components)
  list(GET case 1 fcgi)
  list(GET case 2 wanted)
  set(disable "")
  if(fcgi STREQUAL "off")
    set(disable -DCMAKE_DISABLE_FIND_PACKAGE_fcgi=ON)
  elseif(fcgi STREQUAL "expected-off")
    # Its folder ignored: find_dependency asks with REQUIRED, which a
    # disabled package would turn into an error of its own.
    set(disable "-DCMAKE_IGNORE_PATH=${expected_dir}")
  endif()
  file(REMOVE_RECURSE "${probe}/build")
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${probe}" -B "${probe}/build" "-DCOMPONENTS=${components}"
    ${disable} "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \t\r\n]+" " " said "${err}")
  set(what "find_package(cgiecho COMPONENTS ${components}) with the fcgi lookup ${fcgi}")
  if(NOT components)
    set(what "find_package(cgiecho) with the fcgi lookup ${fcgi}")
  endif()
  if(wanted STREQUAL "found")
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${what} failed:\n${out}\n${err}")
    endif()
  elseif(rc EQUAL 0)
    message(FATAL_ERROR "${what} succeeded; it should fail with '${wanted}'")
  else()
    string(FIND "${said}" "${wanted}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${what} failed without '${wanted}':\n${err}")
    endif()
  endif()
  message(STATUS "${what}: ${wanted}")
endforeach()
