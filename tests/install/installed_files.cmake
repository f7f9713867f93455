# installed_files(<out> <source dir> <libdir>): every file `cmake --install`
# puts under the prefix, relative to it, for the installed-tree and the
# Debian package tests alike. The layers are the folders of src/ whose
# static library is installed: a new layer joins this list.
set(installed_layers capture codec echo output platform request serve text web)
# The layers whose public headers are installed, each under
# include/cgiecho/<layer>/: the text rules' headers, and the headers a layer
# keeps to itself (the request channel includes libfcgi's, which a program
# that embeds the library never needs; an uploaded file's inner record; the
# Win32 files' helpers), stay in src/ and are not installed.
set(header_layers capture codec echo output platform request serve web)
# The umbrella headers beside the layers' folders.
set(umbrella_headers include/cgiecho/web.h)

function(installed_files out source_dir libdir)
  set(files
    bin/cgiecho
    bin/cgiecho-inspect
    bin/cgiecho-replay
    include/cgiecho.h
    ${libdir}/cmake/cgiecho/cgiechoConfig.cmake
    ${libdir}/cmake/cgiecho/cgiechoConfigVersion.cmake
    ${libdir}/cmake/cgiecho/cgiechoTargets.cmake
    ${libdir}/cmake/cgiecho/Findfcgi.cmake
    ${libdir}/libcgiecho.so
    ${libdir}/libcgiecho.so.1
    ${libdir}/pkgconfig/cgiecho.pc
    ${libdir}/pkgconfig/cgiecho-web.pc
    share/man/man1/cgiecho.1.gz
    share/man/man1/cgiecho-inspect.1.gz
    share/man/man1/cgiecho-replay.1.gz
    share/man/man3/cgiecho.3.gz
    share/man/man3/cgiecho-web.3.gz)
  foreach(layer IN LISTS installed_layers)
    list(APPEND files ${libdir}/libcgiecho_${layer}.a)
  endforeach()
  foreach(layer IN LISTS header_layers)
    file(GLOB headers RELATIVE "${source_dir}" "${source_dir}/include/cgiecho/${layer}/*.h")
    if(NOT headers)
      message(FATAL_ERROR "include/cgiecho/${layer}/ holds no header")
    endif()
    list(APPEND files ${headers})
  endforeach()
  list(APPEND files ${umbrella_headers})
  list(SORT files)
  set(${out} "${files}" PARENT_SCOPE)
endfunction()

# expect_files(<what> <actual list> <wanted list> <libdir>): stops the test
# unless the lists hold the same files, beside the per-configuration target
# file and the fully versioned library name, whose names vary.
function(expect_files what actual wanted libdir)
  set(extra ${actual})
  foreach(file IN LISTS wanted)
    if(NOT file IN_LIST actual)
      message(FATAL_ERROR "${what}: missing ${file}\n${what} holds: ${actual}")
    endif()
    list(REMOVE_ITEM extra "${file}")
  endforeach()
  list(FILTER extra EXCLUDE REGEX "^${libdir}/cmake/cgiecho/cgiechoTargets-[a-z]+\\.cmake$")
  list(FILTER extra EXCLUDE REGEX "^${libdir}/libcgiecho\\.so\\.1\\.[0-9]+\\.[0-9]+$")
  if(extra)
    message(FATAL_ERROR "${what}: holds, but is not meant to: ${extra}")
  endif()
endfunction()
