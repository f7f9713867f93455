# Finds libfcgi (Debian: libfcgi-dev) and gives the imported target
# fcgi::fcgi. The build and the installed cgiecho package both use this
# file, so a program that embeds cgiecho::serve finds libfcgi where its own
# machine keeps it, not where the machine that built cgiecho did.
#
# The static archive comes first when there is one: the echo program stays
# one file, and a program embedding the library needs no libfcgi at run time.
#   fcgi_INCLUDE_DIR  where fcgiapp.h is
#   fcgi_LIBRARY      libfcgi.a, or the shared libfcgi
include(FindPackageHandleStandardArgs)

find_path(fcgi_INCLUDE_DIR fcgiapp.h DOC "Where libfcgi's fcgiapp.h is")
find_library(fcgi_LIBRARY NAMES libfcgi.a fcgi DOC "libfcgi, static if there is one")
mark_as_advanced(fcgi_INCLUDE_DIR fcgi_LIBRARY)

find_package_handle_standard_args(fcgi
  REQUIRED_VARS fcgi_LIBRARY fcgi_INCLUDE_DIR
  REASON_FAILURE_MESSAGE "install libfcgi-dev (scripts/deps.sh does)")

if(fcgi_FOUND AND NOT TARGET fcgi::fcgi)
  add_library(fcgi::fcgi UNKNOWN IMPORTED)
  set_target_properties(fcgi::fcgi PROPERTIES
    IMPORTED_LOCATION "${fcgi_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${fcgi_INCLUDE_DIR}")
endif()
