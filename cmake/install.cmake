# `cmake --install`: the header, the shared library (cgiecho::cgiecho for
# find_package, cgiecho.pc for pkg-config) and the echo program; for C++
# programs that embed the library, the static core and platform libraries
# with their headers under include/cgiecho/ (cgiecho::embed).
include(CMakePackageConfigHelpers)

set(CGIECHO_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/cgiecho"
    CACHE STRING "Where the CMake package files of cgiecho go, relative to the prefix")

install(TARGETS cgiecho EXPORT cgiechoTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(TARGETS cgiecho_program RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/include/cgiecho.h" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

# Exported as cgiecho::core, cgiecho::platform and cgiecho::embed, the names
# the tree itself offers.
set_target_properties(cgiecho_core PROPERTIES EXPORT_NAME core)
set_target_properties(cgiecho_platform PROPERTIES EXPORT_NAME platform)
set_target_properties(cgiecho_serve PROPERTIES EXPORT_NAME serve)
set_target_properties(cgiecho_embed PROPERTIES EXPORT_NAME embed)
install(TARGETS cgiecho_core cgiecho_platform cgiecho_serve cgiecho_embed EXPORT cgiechoTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
foreach(layer codec echo output platform request serve)
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/src/${layer}" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/cgiecho"
    FILES_MATCHING PATTERN "*.h")
endforeach()

install(EXPORT cgiechoTargets NAMESPACE cgiecho:: DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")
configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/cgiechoConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/cgiechoConfig.cmake"
  INSTALL_DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/cgiechoConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/cgiechoConfig.cmake" "${PROJECT_BINARY_DIR}/cgiechoConfigVersion.cmake"
  DESTINATION "${CGIECHO_INSTALL_CMAKEDIR}")

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

# The web layer, cgiecho::web: its static library beside the core's, its
# headers under include/cgiecho/web/, and cgiecho-web.pc (a C++ library
# with its own flags, so a file of its own rather than more of cgiecho.pc).
set_target_properties(cgiecho_web PROPERTIES EXPORT_NAME web)
install(TARGETS cgiecho_web EXPORT cgiechoTargets ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/src/web" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/cgiecho"
  FILES_MATCHING PATTERN "*.h")
set(pc_web_system_libs "")
if(WIN32)
  set(pc_web_system_libs "-lole32 -lbcrypt")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/cgiecho-web.pc.in" "${PROJECT_BINARY_DIR}/cgiecho-web.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/cgiecho-web.pc" DESTINATION "${pc_dir}")

if(WIN32)
  # cgiecho-win64.zip (cgiecho-win32.zip from the 32-bit build): everything
  # a Windows program needs to call the library, flat in one folder: the
  # echo program, the DLL, its import library and .def file for other
  # linkers, and the header.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(zip_dir "cgiecho-win32")
  else()
    set(zip_dir "cgiecho-win64")
  endif()
  set(zip_file "${PROJECT_BINARY_DIR}/${zip_dir}.zip")
  add_custom_command(OUTPUT "${zip_file}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${zip_dir}" "${zip_file}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${zip_dir}"
    COMMAND "${CMAKE_COMMAND}" -E copy
            "$<TARGET_FILE:cgiecho_program>" "$<TARGET_FILE:cgiecho>" "$<TARGET_LINKER_FILE:cgiecho>"
            "${PROJECT_BINARY_DIR}/cgiecho.def" "${PROJECT_SOURCE_DIR}/include/cgiecho.h" "${zip_dir}"
    COMMAND "${CMAKE_COMMAND}" -E tar cf "${zip_file}" --format=zip "${zip_dir}"
    WORKING_DIRECTORY "${PROJECT_BINARY_DIR}"
    DEPENDS cgiecho cgiecho_program "${PROJECT_BINARY_DIR}/cgiecho.def" "${PROJECT_SOURCE_DIR}/include/cgiecho.h"
    COMMENT "Packing ${zip_dir}.zip"
    VERBATIM)
  add_custom_target(package_zip ALL DEPENDS "${zip_file}")
endif()
