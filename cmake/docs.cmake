# The reference documentation: `cmake --build <build> --target docs` (make
# docs) runs Doxygen over the public headers (docs/Doxyfile.in) and writes
# HTML under <build>/docs/html/. Any warning, an undocumented public name
# included, fails the target, so `make check` (check-docs) keeps every
# public name documented. Not part of `all`: a build needs no Doxygen.
find_program(CGIECHO_DOXYGEN doxygen)
set(CGIECHO_DOCS_DIR "${PROJECT_BINARY_DIR}/docs")
configure_file("${PROJECT_SOURCE_DIR}/docs/Doxyfile.in" "${PROJECT_BINARY_DIR}/Doxyfile" @ONLY)
if(CGIECHO_DOXYGEN)
  add_custom_target(docs
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${CGIECHO_DOCS_DIR}/html"
    COMMAND "${CGIECHO_DOXYGEN}" "${PROJECT_BINARY_DIR}/Doxyfile"
    COMMAND "${CMAKE_COMMAND}" -E echo "reference documentation: ${CGIECHO_DOCS_DIR}/html/index.html"
    WORKING_DIRECTORY "${PROJECT_BINARY_DIR}"
    COMMENT "Doxygen over the public headers"
    VERBATIM)
else()
  add_custom_target(docs
    COMMAND "${CMAKE_COMMAND}" -E echo "doxygen not found: install doxygen (scripts/deps.sh does)"
    COMMAND "${CMAKE_COMMAND}" -E false
    VERBATIM)
endif()
