# tl::expected, the header-only type behind web::result (<tl/expected.hpp>).
#
# Linux: Debian's libexpected-dev, through its CMake package (tl-expected,
# target tl::expected; the header is in /usr/include). The installed
# cgiechoConfig.cmake looks for it again for the components that need it.
#
# Windows (mingw-w64): no mingw package holds it, and /usr/include must not
# go on a cross compiler's search path (the host's C headers would shadow
# mingw's). The one header is copied from the Debian package into a folder
# of the build tree, and tl::expected is an imported target whose include
# folder is that one; the zip ships the header and its licence
# (cmake/package.cmake).
#
# The target is global: a project that embeds this tree (add_subdirectory)
# links cgiecho::web from its own folder, where tl::expected must resolve.
if(TARGET tl::expected)
  return()
endif()

if(WIN32)
  set(CGIECHO_EXPECTED_HEADER "/usr/include/tl/expected.hpp"
      CACHE FILEPATH "tl/expected.hpp for the cross build (Debian's libexpected-dev)")
  set(CGIECHO_EXPECTED_LICENSE "/usr/share/doc/libexpected-dev/copyright"
      CACHE FILEPATH "The licence of tl/expected.hpp, shipped beside it in the zip")
  foreach(file IN ITEMS "${CGIECHO_EXPECTED_HEADER}" "${CGIECHO_EXPECTED_LICENSE}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "${file} not found: install libexpected-dev (scripts/deps.sh does)")
    endif()
  endforeach()
  set(CGIECHO_EXPECTED_INCLUDE "${PROJECT_BINARY_DIR}/expected/include")
  configure_file("${CGIECHO_EXPECTED_HEADER}" "${CGIECHO_EXPECTED_INCLUDE}/tl/expected.hpp" COPYONLY)
  add_library(tl::expected INTERFACE IMPORTED GLOBAL)
  set_target_properties(tl::expected PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${CGIECHO_EXPECTED_INCLUDE}")
else()
  find_package(tl-expected 1.0 CONFIG QUIET)
  if(NOT tl-expected_FOUND)
    message(FATAL_ERROR "tl-expected (the CMake package of <tl/expected.hpp>) not found: "
                        "install libexpected-dev (scripts/deps.sh does)")
  endif()
  set_target_properties(tl::expected PROPERTIES IMPORTED_GLOBAL TRUE)
endif()
