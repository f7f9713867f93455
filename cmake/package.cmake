# The packages, made by CPack from the install rules, in the build folder:
#   Linux    `cpack -G DEB` (make deb): cgiecho_<version>_<arch>.deb, what
#            `cmake --install` installs, under /usr, with the Debian
#            copyright, changelog and lintian notes (install component
#            "deb").
#   Windows  `cpack -G ZIP` (make windows, make windows32): cgiecho-win64.zip
#            or cgiecho-win32.zip, one folder holding, flat, the programs
#            (echo, inspector and cgiecho-replay) and what a Windows
#            program needs to call the library: the DLL, its import library
#            and .def file for other linkers, and the header (install
#            component "windows_zip"). Beside them, what a C++ program
#            needs to compile against the layers, laid out as `cmake
#            --install` lays it out: include/ with the public headers
#            (include/cgiecho/, cgiecho.h) and tl/expected.hpp, the
#            header-only result type the web headers include, with its
#            licence (CC0); lib/ with the static library of every layer
#            (serve with libfcgi compiled in, its licence beside it as
#            libfcgi.copyright) and the CMake package (lib/cmake/cgiecho),
#            for find_package from a mingw-w64 build.
# Both components stay out of a plain `cmake --install`.
set(CPACK_PACKAGE_NAME cgiecho)
set(CPACK_PACKAGE_VENDOR "the cgiecho developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CGI library with a C interface, and a CGI echo program")
set(CPACK_PACKAGE_DESCRIPTION [[
The echo program answers a CGI request (or, as a FastCGI responder, many)
with a page that shows the form data exactly as the server received it,
every "<" escaped. cgiecho-inspect answers with a JSON report of what the
server and the browser sent: fields, cookies, uploaded files, headers.

libcgiecho.so exports 52 C routines over length-prefixed byte strings:
accessors for the CGI variables, request readers, URL encoding and decoding,
form field lookup and stdout writers (cgiecho.h, cgiecho.pc). The static C++
layers and their headers let a C++ program embed the library instead
(find_package(cgiecho), cgiecho::embed).]])
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME cgiecho-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME cgiecho-win64)
  endif()
  install(TARGETS ${cgiecho_programs} RUNTIME DESTINATION . COMPONENT windows_zip
    EXCLUDE_FROM_ALL)
  # The zip's own export set: the same targets as cgiechoTargets, but with
  # the DLL and its import library where the zip keeps them, at the top.
  install(TARGETS cgiecho EXPORT cgiechoZipTargets
    RUNTIME DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL
    ARCHIVE DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  install(FILES "${PROJECT_BINARY_DIR}/cgiecho.def" "${PROJECT_SOURCE_DIR}/include/cgiecho.h"
    DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  install(FILES "${CGIECHO_EXPECTED_INCLUDE}/tl/expected.hpp"
    DESTINATION include/tl COMPONENT windows_zip EXCLUDE_FROM_ALL)
  install(FILES "${CGIECHO_EXPECTED_LICENSE}" RENAME expected.copyright
    DESTINATION include/tl COMPONENT windows_zip EXCLUDE_FROM_ALL)
  # The C++ layers as `cmake --install` lays them out (cmake/install.cmake):
  # the public headers under include/ (cgiecho.h again, where
  # cgiecho::cgiecho's include folder is), the static libraries under lib/
  # (serve holds libfcgi, compiled in, so serve and embed need nothing
  # more), and the CMake package, whose config makes tl::expected from the
  # zip's include/tl/expected.hpp.
  install(TARGETS ${cgiecho_exported_targets} EXPORT cgiechoZipTargets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT windows_zip EXCLUDE_FROM_ALL)
  # libfcgi's licence asks to go with every copy of its code, which the
  # programs and the serve layer's library hold.
  install(FILES "${CGIECHO_FCGI_LICENSE}" RENAME libfcgi.copyright
    DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT windows_zip EXCLUDE_FROM_ALL)
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/cgiecho" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
    COMPONENT windows_zip EXCLUDE_FROM_ALL FILES_MATCHING PATTERN "*.h")
  install(FILES "${PROJECT_SOURCE_DIR}/include/cgiecho.h" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
    COMPONENT windows_zip EXCLUDE_FROM_ALL)
  # The export sets' files must differ in name: the build keeps both in one
  # folder. So the zip's config, otherwise the install's, is made again,
  # naming its own.
  install(EXPORT cgiechoZipTargets NAMESPACE cgiecho::
    DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}" COMPONENT windows_zip EXCLUDE_FROM_ALL)
  set(CGIECHO_TARGETS_FILE cgiechoZipTargets.cmake)
  configure_package_config_file(
    "${PROJECT_SOURCE_DIR}/cmake/cgiechoConfig.cmake.in"
    "${PROJECT_BINARY_DIR}/windows_zip/cgiechoConfig.cmake"
    INSTALL_DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")
  install(FILES "${PROJECT_BINARY_DIR}/windows_zip/cgiechoConfig.cmake"
    "${PROJECT_BINARY_DIR}/cgiechoConfigVersion.cmake"
    DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}" COMPONENT windows_zip EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};windows_zip;/")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CGIECHO_DEB_MAINTAINER "cgiecho maintainers <maintainers@cgiecho.example.org>"
      CACHE STRING "Maintainer field and changelog signature of the .deb")
  set(deb_doc "${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME}")
  # gzip -9n: the compression Debian asks of a changelog, without a timestamp.
  configure_file("${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in" "${PROJECT_BINARY_DIR}/deb/changelog" @ONLY)
  execute_process(COMMAND gzip -9nc "${PROJECT_BINARY_DIR}/deb/changelog"
    OUTPUT_FILE "${PROJECT_BINARY_DIR}/deb/changelog.gz" RESULT_VARIABLE gzip_rc)
  if(NOT gzip_rc EQUAL 0)
    message(FATAL_ERROR "gzip failed (${gzip_rc}) on the Debian changelog")
  endif()
  install(FILES "${PROJECT_SOURCE_DIR}/cmake/deb/copyright" "${PROJECT_BINARY_DIR}/deb/changelog.gz"
    DESTINATION "${deb_doc}" COMPONENT deb EXCLUDE_FROM_ALL)
  # The example units of a pool under systemd (docs/pool.md).
  install(FILES "${PROJECT_SOURCE_DIR}/docs/systemd/cgiecho.service" "${PROJECT_SOURCE_DIR}/docs/systemd/cgiecho.socket"
    DESTINATION "${deb_doc}/examples" COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES "${PROJECT_SOURCE_DIR}/cmake/deb/lintian-overrides" RENAME ${PROJECT_NAME}
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" COMPONENT deb EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR DEB)
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/" "${PROJECT_BINARY_DIR};${PROJECT_NAME};deb;/")
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CGIECHO_DEB_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION web)
  # libc6, libstdc++6 and libgcc-s1 for libcgiecho.so, from dpkg-shlibdeps;
  # the static echo program needs nothing. libfcgi-dev: the CMake package's
  # cgiecho::serve and cgiecho::embed link libfcgi, which it finds there.
  # libexpected-dev: the web headers include <tl/expected.hpp>, and the
  # CMake package's web component finds tl::expected there.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfcgi-dev, libexpected-dev")
  # The shlibs file for packages that link libcgiecho.so.1, and the ldconfig
  # trigger, which Debian asks for beside the ldconfig call CPack writes into
  # postinst and postrm.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/cmake/deb/triggers")
endif()
include(CPack)
