# Cross build for 32-bit Windows (x86) with mingw-w64 (posix thread model),
# for hosts that are 32-bit processes; tests run under 32-bit Wine in a
# win32 prefix that the Makefile makes per test run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_DLLTOOL i686-w64-mingw32-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Debian's 32-bit loader sits beside wine64, off PATH; /usr/bin/wine is a
# wrapper that may pick the 64-bit one.
find_program(CGIECHO_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(CGIECHO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CGIECHO_WINE})
endif()
