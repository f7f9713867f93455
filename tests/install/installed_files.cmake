# installed_files(<out> <libdir>): every file `cmake --install`
# puts under the prefix, relative to it, for the installed-tree and the
# Debian package tests alike. The layers are the folders of src/ whose
# static library is installed: a new layer joins this list.
set(installed_layers capture codec echo output platform request serve text web)
# The public headers, named one by one so that a header moved into
# include/ by mistake shows here: the C header, the web layer a program
# includes (web.h and what it includes), the request loop, and the core
# that docs/embedding.md shows with what those include. The rest (the text
# rules, the parser and the reading steps behind web::Request, the
# listener, the pool, the recorder, ...) stays in src/ and is not installed.
set(public_headers
  include/cgiecho.h
  include/cgiecho/capture/capture_file.h
  include/cgiecho/codec/form_fields.h
  include/cgiecho/codec/url_codec.h
  include/cgiecho/output/page.h
  include/cgiecho/platform/platform.h
  include/cgiecho/request/acquire.h
  include/cgiecho/request/request_data.h
  include/cgiecho/serve/serve.h
  include/cgiecho/web.h
  include/cgiecho/web/cookies.h
  include/cgiecho/web/errors.h
  include/cgiecho/web/form.h
  include/cgiecho/web/from_capture.h
  include/cgiecho/web/limits.h
  include/cgiecho/web/request.h
  include/cgiecho/web/response.h
  include/cgiecho/web/upload.h)

function(installed_files out libdir)
  set(files
    bin/cgiecho
    bin/cgiecho-inspect
    bin/cgiecho-replay
    ${libdir}/cmake/cgiecho/cgiechoConfig.cmake
    ${libdir}/cmake/cgiecho/cgiechoConfigVersion.cmake
    ${libdir}/cmake/cgiecho/cgiechoTargets.cmake
    ${libdir}/cmake/cgiecho/Findfcgi.cmake
    ${libdir}/libcgiecho.so
    ${libdir}/libcgiecho.so.1
    ${libdir}/pkgconfig/cgiecho.pc
    ${libdir}/pkgconfig/cgiecho-serve.pc
    ${libdir}/pkgconfig/cgiecho-web.pc
    share/man/man1/cgiecho.1.gz
    share/man/man1/cgiecho-inspect.1.gz
    share/man/man1/cgiecho-replay.1.gz
    share/man/man3/cgiecho.3.gz
    share/man/man3/cgiecho-web.3.gz)
  foreach(layer IN LISTS installed_layers)
    list(APPEND files ${libdir}/libcgiecho_${layer}.a)
  endforeach()
  list(APPEND files ${public_headers})
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
