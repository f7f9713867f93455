# 32-bit Windows: the routines are __stdcall, whose symbols carry the bytes
# of their arguments (CGI_VAR@8). Hosts look the routines up by plain name,
# so the export tables hold the .def's names with that suffix cut
# (--kill-at). A program compiled against the header refers to the suffixed
# symbols, so the import library keeps them, each bound to its plain export;
# ld would write it with the suffixes cut, hence dlltool writes it anew.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(cgiecho PRIVATE -Wl,--kill-at)
  target_link_options(cgiecho_program PRIVATE -Wl,--kill-at)
  add_custom_command(TARGET cgiecho POST_BUILD
    COMMAND "${CMAKE_DLLTOOL}" --kill-at --input-def "${PROJECT_BINARY_DIR}/cgiecho.def"
            --dllname cgiecho.dll --output-lib "$<TARGET_LINKER_FILE:cgiecho>"
    COMMENT "Import library of cgiecho.dll with the __stdcall symbols"
    VERBATIM)
endif()
