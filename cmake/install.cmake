# `cmake --install`: the header, the manual pages, the shared library (cgiecho::cgiecho for
# find_package, cgiecho.pc for pkg-config) and the echo program; for C++
# programs that embed the library, the static library of every layer with
# the public headers under include/cgiecho/ (cgiecho::embed and the layers'
# own targets; cgiecho-web.pc and cgiecho-serve.pc for pkg-config). Only
# include/ goes on a user's search path, so each header is
# <cgiecho/<layer>/name.h> and no name of a program's own collides.
# cmake/package.cmake packs the same install with CPack.
include(CMakePackageConfigHelpers)

set(CGIECHO_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/cgiecho"
    CACHE STRING "Where the CMake package files of cgiecho go, relative to the prefix")

install(TARGETS cgiecho EXPORT cgiechoTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
# The programs that cgiecho_add_program (CMakeLists.txt) marks INSTALL.
get_property(cgiecho_programs GLOBAL PROPERTY CGIECHO_PROGRAMS)
install(TARGETS ${cgiecho_programs} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/include/cgiecho.h" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
# The manual pages that cmake/man.cmake makes, gzipped (none on Windows).
foreach(page IN LISTS CGIECHO_MAN_PAGES)
  string(REGEX MATCH "[0-9]$" section "${page}")
  install(FILES "${PROJECT_BINARY_DIR}/man/${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()

# Every layer that cgiecho_add_layer (CMakeLists.txt) made is exported as
# cgiecho::<layer>, beside cgiecho::core and cgiecho::embed over them, and is
# a component of the package of the same name. A new folder of src/ reaches
# the list through that call alone.
get_property(cgiecho_layers GLOBAL PROPERTY CGIECHO_LAYERS)
list(TRANSFORM cgiecho_layers PREPEND cgiecho_ OUTPUT_VARIABLE cgiecho_exported_targets)
list(APPEND cgiecho_exported_targets cgiecho_core cgiecho_embed)

install(TARGETS ${cgiecho_exported_targets} EXPORT cgiechoTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
# The public headers: include/cgiecho/ as it is, the layers' folders and the
# umbrella headers beside them (the private ones live in src/).
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/cgiecho" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  FILES_MATCHING PATTERN "*.h")

install(EXPORT cgiechoTargets NAMESPACE cgiecho:: DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/cgiechoConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
# libfcgi is found on the machine that uses the package, by the same module
# the build used, for the components whose link needs it.
if(TARGET fcgi::fcgi)
  set(CGIECHO_NEEDS_FCGI ON)
else()
  set(CGIECHO_NEEDS_FCGI OFF)
endif()
# tl::expected is Debian's CMake package on Linux; the cross builds carry
# the header in their own tree (cmake/expected.cmake), so no package can be
# looked for: the header is installed beside the web headers, with its
# licence, and the package's config makes the target over it.
if(WIN32)
  set(CGIECHO_NEEDS_EXPECTED OFF)
  install(FILES "${CGIECHO_EXPECTED_INCLUDE}/tl/expected.hpp" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/tl")
  install(FILES "${CGIECHO_EXPECTED_LICENSE}" RENAME expected.copyright
    DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/tl")
  # The programs and the serve layer's library hold libfcgi's code, whose
  # licence asks to go with every copy.
  install(FILES "${CGIECHO_FCGI_LICENSE}" RENAME libfcgi.copyright DESTINATION "${CMAKE_INSTALL_LIBDIR}")
else()
  set(CGIECHO_NEEDS_EXPECTED ON)
endif()
# The components: cgiecho (the shared library) and every exported target.
# serve links libfcgi, and embed links serve.
set(CGIECHO_COMPONENTS cgiecho ${cgiecho_exported_targets})
list(TRANSFORM CGIECHO_COMPONENTS REPLACE "^cgiecho_" "")
set(CGIECHO_FCGI_COMPONENTS serve embed)
set(CGIECHO_TARGETS_FILE cgiechoTargets.cmake)
configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/cgiechoConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/cgiechoConfig.cmake"
  INSTALL_DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")
install(FILES "${PROJECT_BINARY_DIR}/cgiechoConfig.cmake" "${PROJECT_BINARY_DIR}/cgiechoConfigVersion.cmake"
  DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")
if(CGIECHO_NEEDS_FCGI)
  install(FILES "${PROJECT_SOURCE_DIR}/cmake/Findfcgi.cmake" DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")
endif()

# cgiecho.pc finds its prefix from its own folder, so an installed tree still
# works after `cmake --install --prefix` elsewhere or after being moved.
set(pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
  set(pc_libdir "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(pc_includedir "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH pc_up "/prefix/${pc_dir}" "/prefix")
  string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
  set(pc_prefix "\${pcfiledir}/${pc_up}")
  set(pc_libdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(pc_includedir "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/cgiecho.pc.in" "${PROJECT_BINARY_DIR}/cgiecho.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/cgiecho.pc" DESTINATION "${pc_dir}")

# The web layer's pkg-config file: a C++ library with its own flags, so a
# file of its own rather than more of cgiecho.pc. Its target and headers are
# installed with the other layers.
set(pc_web_system_libs "")
if(WIN32)
  set(pc_web_system_libs "-lole32 -lbcrypt")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/cgiecho-web.pc.in" "${PROJECT_BINARY_DIR}/cgiecho-web.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/cgiecho-web.pc" DESTINATION "${pc_dir}")

# The request loop's: what cgiecho::embed links (the core, the platform and
# serve), for the README's responder. On Linux serve links the machine's
# libfcgi; on Windows libfcgi is inside serve's archive.
if(WIN32)
  set(pc_serve_system_libs "-lole32 -lbcrypt -ladvapi32 -lntdll -lws2_32")
else()
  set(pc_serve_system_libs "-lfcgi")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/cgiecho-serve.pc.in" "${PROJECT_BINARY_DIR}/cgiecho-serve.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/cgiecho-serve.pc" DESTINATION "${pc_dir}")

include("${CMAKE_CURRENT_LIST_DIR}/package.cmake")
