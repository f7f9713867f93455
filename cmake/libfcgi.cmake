# libfcgi for the Windows builds. No mingw package of it exists, so its C
# library (fcgiapp.c and the Win32 layer os_win32.c) is compiled here from
# Debian's source package, fetched with `apt-get source libfcgi` into the
# build folder (scripts/deps.sh adds the deb-src entry that needs) and
# patched with cmake/libfcgi/*.patch, each of which says why it exists.
# Sets CGIECHO_FCGI_SOURCES, CGIECHO_FCGI_INCLUDE_DIRS and CGIECHO_FCGI_LICENSE
# (its licence, which asks to be shipped with every copy of the code).
set(patches
  "${PROJECT_SOURCE_DIR}/cmake/libfcgi/01-listen-on-the-host-given.patch"
  "${PROJECT_SOURCE_DIR}/cmake/libfcgi/02-named-pipe-clients-come-and-go.patch"
  "${PROJECT_SOURCE_DIR}/cmake/libfcgi/03-pointer-sized-values.patch"
  "${PROJECT_SOURCE_DIR}/cmake/libfcgi/04-no-accept-without-a-listener.patch")
set(root "${PROJECT_BINARY_DIR}/libfcgi")
set(stamp "${root}/patched.stamp")

# A fresh copy whenever the patches change, so that none is applied twice.
set(wanted "")
foreach(patch IN LISTS patches)
  file(SHA256 "${patch}" hash)
  string(APPEND wanted "${hash}\n")
endforeach()
set(have "")
if(EXISTS "${stamp}")
  file(READ "${stamp}" have)
endif()
if(NOT have STREQUAL wanted)
  file(REMOVE_RECURSE "${root}")
  file(MAKE_DIRECTORY "${root}/fetch")
  find_program(CGIECHO_APT_GET apt-get REQUIRED)
  execute_process(COMMAND "${CGIECHO_APT_GET}" source libfcgi
    WORKING_DIRECTORY "${root}/fetch" RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(failed)
    message(FATAL_ERROR "apt-get source libfcgi failed (scripts/deps.sh adds the deb-src entry "
                        "and dpkg-dev it needs):\n${out}")
  endif()
  find_program(CGIECHO_PATCH patch REQUIRED)
  file(GLOB unpacked LIST_DIRECTORIES true "${root}/fetch/libfcgi-*")
  list(FILTER unpacked EXCLUDE REGEX "\\.(tar|dsc|gz|xz)")
  if(NOT unpacked)
    message(FATAL_ERROR "apt-get source libfcgi unpacked nothing into ${root}/fetch")
  endif()
  file(RENAME "${unpacked}" "${root}/src")
  foreach(patch IN LISTS patches)
    execute_process(COMMAND "${CGIECHO_PATCH}" -p1 --forward --batch -i "${patch}"
      WORKING_DIRECTORY "${root}/src" RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(failed)
      message(FATAL_ERROR "${patch} does not apply to this libfcgi source:\n${out}")
    endif()
  endforeach()
  file(REMOVE_RECURSE "${root}/fetch")
  file(WRITE "${stamp}" "${wanted}")
endif()

# The configuration libfcgi itself keeps for Windows builds without configure.
configure_file("${root}/src/include/fcgi_config_x86.h" "${root}/config/fcgi_config.h" COPYONLY)
set(CGIECHO_FCGI_SOURCES "${root}/src/libfcgi/fcgiapp.c" "${root}/src/libfcgi/os_win32.c")
set(CGIECHO_FCGI_INCLUDE_DIRS "${root}/src/include" "${root}/config")
set(CGIECHO_FCGI_LICENSE "${root}/src/LICENSE.TERMS")
# Not our code: its warnings are not ours to fix, and -Werror must not stop it.
set_source_files_properties(${CGIECHO_FCGI_SOURCES} PROPERTIES COMPILE_OPTIONS "-w")
