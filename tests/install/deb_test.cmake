# cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK= -DLIBDIR= -DVERSION= -DCPACK= -DC_COMPILER= -DCXX_COMPILER=
#       -P deb_test.cmake
# The Debian package as a user gets it. `cpack -G DEB`, as `make deb` runs it,
# packs the build into a folder of the test's own; dpkg-deb reads its name,
# fields and contents; lintian finds no errors in it; apt-get, simulating
# `apt-get install ./cgiecho_....deb`, finds every dependency. Unpacked into a
# temporary root that stands for another machine's /usr, the statically
# linked program answers a request, the README's C example builds through
# pkg-config and runs, and examples/core builds through find_package(cgiecho)
# without a warning and runs. lintian finds no fault with the manual pages
# either (every program has one).
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/installed_files.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/readme_blocks.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/core_example_run.cmake")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

foreach(tool dpkg dpkg-deb lintian apt-get pkg-config file)
  find_program(found_${tool} ${tool})
  if(NOT found_${tool})
    message(FATAL_ERROR "${tool} not found (scripts/deps.sh installs it)")
  endif()
endforeach()

run_checked("dpkg --print-architecture" "${found_dpkg}" --print-architecture)
string(STRIP "${run_output}" arch)
run_checked("cpack -G DEB" "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK}/out")
set(deb "${WORK}/out/cgiecho_${VERSION}_${arch}.deb")
if(NOT EXISTS "${deb}")
  file(GLOB made "${WORK}/out/*.deb")
  message(FATAL_ERROR "cpack made ${made}, not ${deb}")
endif()

# The fields apt-get goes by; libcgiecho.so's own dependencies come from
# dpkg-shlibdeps, so only their names are fixed here.
foreach(field Package Version Architecture Depends)
  run_checked("dpkg-deb --field ${field}" "${found_dpkg-deb}" --field "${deb}" ${field})
  string(STRIP "${run_output}" ${field})
endforeach()
if(NOT Package STREQUAL "cgiecho" OR NOT Version STREQUAL "${VERSION}" OR NOT Architecture STREQUAL "${arch}")
  message(FATAL_ERROR "the package is ${Package} ${Version} for ${Architecture}")
endif()
foreach(dependency libc6 libstdc\\+\\+6 libgcc-s1 libfcgi-dev libexpected-dev)
  if(NOT Depends MATCHES "(^|, )${dependency}( |,|$)")
    message(FATAL_ERROR "Depends lacks ${dependency}: ${Depends}")
  endif()
endforeach()

# Contents: what `cmake --install` installs under /usr, and Debian's notes.
run_checked("dpkg-deb --contents" "${found_dpkg-deb}" --contents "${deb}")
string(REGEX MATCHALL "\\./usr/[^\n]*[^/\n]\n" entries "${run_output}")
set(contents "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\./usr/([^ \n]*).*" "\\1" path "${entry}")
  list(APPEND contents "${path}")
endforeach()
list(SORT contents)
installed_files(wanted "${LIBDIR}")
list(APPEND wanted share/doc/cgiecho/copyright share/doc/cgiecho/changelog.gz share/lintian/overrides/cgiecho
  share/doc/cgiecho/examples/cgiecho.service share/doc/cgiecho/examples/cgiecho.socket)
expect_files("the package" "${contents}" "${wanted}" "${LIBDIR}")

# Errors fail the test; warnings are shown in its log. (With
# --show-overrides, lintian would count the package's own override as an
# error too.)
execute_process(COMMAND "${found_lintian}" --fail-on error "${deb}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "lintian:\n${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lintian failed (${rc}):\n${out}\n${err}")
endif()
# Every program has its manual page, and every page reads cleanly.
if(out MATCHES "[^\n]*(manpage|manual-page|groff-message)[^\n]*")
  message(FATAL_ERROR "lintian finds fault with the manual pages: ${CMAKE_MATCH_0}")
endif()

run_checked("apt-get install --simulate" "${found_apt-get}" install --simulate "${deb}")
if(NOT run_output MATCHES "\nInst cgiecho ")
  message(FATAL_ERROR "apt-get would not install the package:\n${run_output}")
endif()

# Another machine: the package unpacked, nothing of the build tree in sight.
set(root "${WORK}/root")
run_checked("dpkg-deb --extract" "${found_dpkg-deb}" --extract "${deb}" "${root}")
file(GLOB package_files "${root}/usr/${LIBDIR}/cmake/cgiecho/cgiecho*.cmake" "${root}/usr/${LIBDIR}/pkgconfig/cgiecho.pc")
foreach(file IN LISTS package_files)
  file(READ "${file}" text)
  foreach(path "${SOURCE_DIR}" "${BUILD_DIR}" "libfcgi.a" "/usr/lib/")
    string(FIND "${text}" "${path}" at)
    if(at GREATER -1)
      message(FATAL_ERROR "${file} names ${path}, a path of the machine that built it")
    endif()
  endforeach()
endforeach()

# The program needs nothing beside itself, as the package's lintian
# override for it says.
run_checked("file" "${found_file}" "${root}/usr/bin/cgiecho")
if(NOT run_output MATCHES "statically linked")
  message(FATAL_ERROR "the packaged cgiecho is not linked statically: ${run_output}")
endif()
run_checked("the packaged cgiecho" "${CMAKE_COMMAND}" -E env REQUEST_METHOD=GET "QUERY_STRING=x=a<b"
  "${root}/usr/bin/cgiecho")
if(NOT run_output MATCHES "<html><body>x=a&lt;b\r?\n</body></html>$")
  message(FATAL_ERROR "the packaged cgiecho answered:\n${run_output}")
endif()

# The README's C example, through the packaged cgiecho.pc alone.
readme_code_blocks("${SOURCE_DIR}" "${WORK}/readme")
set(ENV{PKG_CONFIG_PATH} "${root}/usr/${LIBDIR}/pkgconfig")
set(ENV{PKG_CONFIG_LIBDIR} "${root}/usr/${LIBDIR}/pkgconfig")
run_checked("pkg-config" "${found_pkg-config}" --cflags --libs cgiecho)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run_checked("building the README's C example" "${C_COMPILER}" -std=c99 -Wall -Wextra -Werror
  "${linux_c}" -o "${WORK}/readme_example" ${pc_flags})
set(ENV{LD_LIBRARY_PATH} "${root}/usr/${LIBDIR}")
run_checked("the README's C example" "${WORK}/readme_example")
if(NOT run_output STREQUAL "Ann Lee|Ann+Lee\n")
  message(FATAL_ERROR "the README's C example printed '${run_output}'")
endif()

# A C++ program embedding the packaged layers: libfcgi is found on this
# machine, by the package's own Findfcgi.cmake.
run_checked("configuring examples/core on the package" "${CMAKE_COMMAND}"
  -S "${SOURCE_DIR}/examples/core" -B "${WORK}/core_example" -DCGIECHO_FROM=package
  "-DCMAKE_PREFIX_PATH=${root}/usr" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
if(run_errors MATCHES "CMake (Warning|Deprecation)")
  message(FATAL_ERROR "find_package(cgiecho) warns:\n${run_errors}")
endif()
run_checked("building examples/core" "${CMAKE_COMMAND}" --build "${WORK}/core_example")
core_example_run("${WORK}/core_example/core_example")
