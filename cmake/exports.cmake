# The export list comes from the public header alone: the routines declared
# with CGI_API plus one CGI_<VAR> per row of the accessor table. The .def
# file, the Linux version script and the export-table checks all use it, so
# they cannot drift apart from the header.
#
# Each routine also gets its shape: one letter for the result (s: a string
# handle, n: a number, v: nothing) and one per parameter (r: a handle by
# reference, t: a handle taken by value, a: an array slot, n: a 32-bit
# number). The 32-bit .def needs the bytes of the arguments, and the
# calling-convention test needs valid arguments to pass.
function(cgiecho_routine_shape result params out_shape)
  if(result MATCHES "cgi_str")
    set(shape "s")
  elseif(result MATCHES "(^|[ ])void[ ]")
    set(shape "v")
  else()
    set(shape "n")
  endif()
  string(STRIP "${params}" params)
  if(NOT params STREQUAL "void")
    string(REPLACE "," ";" params "${params}")
    foreach(param IN LISTS params)
      if(param MATCHES "^ *cgi_str *\\* *[A-Za-z_0-9]*$")
        string(APPEND shape "r")
      elseif(param MATCHES "^ *cgi_str +[A-Za-z_0-9]+$")
        string(APPEND shape "t")
      elseif(param MATCHES "^ *struct tagSAFEARRAY *\\* *\\* *[A-Za-z_0-9]*$")
        string(APPEND shape "a")
      elseif(param MATCHES "^ *u?int32_t +[A-Za-z_0-9]+$")
        string(APPEND shape "n")
      else()
        message(FATAL_ERROR "cgiecho.h: no argument size known for the parameter '${param}'")
      endif()
    endforeach()
  endif()
  set(${out_shape} "${shape}" PARENT_SCOPE)
endfunction()

# Lists of routine names, their shapes (name:shape, sorted by name) and the
# Linux stand-ins.
function(cgiecho_export_names header out_routines out_standins)
  file(READ "${header}" text)
  string(REGEX MATCHALL "\n *CGI_API[^;\n#]*[ *][A-Za-z_][A-Za-z0-9_]*\\([^)]*\\)" decls "${text}")
  set(routines "")
  set(shapes "")
  set(standins "")
  foreach(decl IN LISTS decls)
    string(REGEX MATCH "CGI_API([^;\n#]*[ *])([A-Za-z_][A-Za-z0-9_]*)\\(([^)]*)\\)$" parts "${decl}")
    set(result "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    set(params "${CMAKE_MATCH_3}")
    if(name MATCHES "^(CGI_|cgi_|exec_html$)")
      list(APPEND routines "${name}")
      cgiecho_routine_shape("${result}" "${params}" shape)
      list(APPEND shapes "${name}:${shape}")
    else()
      list(APPEND standins "${name}")
    endif()
  endforeach()
  string(REGEX MATCHALL "\n *(TEXT|NUMBER|FLAG)\\([A-Z_]+\\)" rows "${text}")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE ".*\\(([A-Z_]+)\\)$" "CGI_\\1" name "${row}")
    list(APPEND routines "${name}")
    if(row MATCHES "TEXT")
      list(APPEND shapes "${name}:s")
    else()
      list(APPEND shapes "${name}:n")
    endif()
  endforeach()
  list(SORT routines)
  list(SORT shapes)
  set(${out_routines} "${routines}" PARENT_SCOPE)
  set(CGIECHO_ROUTINE_SHAPES "${shapes}" PARENT_SCOPE)
  set(${out_standins} "${standins}" PARENT_SCOPE)
endfunction()

function(cgiecho_write_export_files header dir)
  cgiecho_export_names("${header}" routines standins)
  list(LENGTH routines count)
  set(CGIECHO_EXPORT_COUNT ${count} PARENT_SCOPE)
  set(CGIECHO_EXPORTS "${routines}" PARENT_SCOPE)
  list(JOIN routines "\n" lines)
  file(WRITE "${dir}/exports.txt" "${lines}\n")

  # 32-bit Windows callers use __stdcall, whose symbols carry the bytes of
  # the arguments (CGI_VAR@8). The .def lists those decorated names: the
  # linker strips them for the export table (--kill-at) and dlltool keeps
  # them as the import library's symbols, so both plain-name lookups and
  # programs compiled against the header find the routines.
  set(def_names "")
  set(table "")
  foreach(row IN LISTS CGIECHO_ROUTINE_SHAPES)
    string(REGEX MATCH "^([^:]+):(.)(.*)$" row "${row}")
    set(name "${CMAKE_MATCH_1}")
    set(result "${CMAKE_MATCH_2}")
    set(params "${CMAKE_MATCH_3}")
    string(LENGTH "${params}" nparams)
    math(EXPR bytes "${nparams} * 4")
    if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
      list(APPEND def_names "${name}@${bytes}")
    else()
      list(APPEND def_names "${name}")
    endif()
    string(APPEND table "CGI_ROUTINE(${name}, '${result}', \"${params}\")\n")
  endforeach()
  # A LIBRARY line marks the output as a DLL, so the program gets a .def
  # file of its own without one.
  list(JOIN def_names "\n  " def_rows)
  file(WRITE "${dir}/cgiecho.def" "LIBRARY cgiecho.dll\nEXPORTS\n  ${def_rows}\n")
  file(WRITE "${dir}/cgiecho_program.def" "EXPORTS\n  ${def_rows}\n")
  file(WRITE "${dir}/routine_table.h"
    "/* Every exported routine, from cgiecho.h: CGI_ROUTINE(name, result, parameters). */\n${table}")
  set(all ${routines} ${standins})
  list(JOIN all ";\n    " globals)
  file(WRITE "${dir}/cgiecho.map" "{\n  global:\n    ${globals};\n  local: *;\n};\n")
endfunction()
