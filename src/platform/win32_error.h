// The Windows side of the seam in more than one file (platform_win32.cpp,
// spawn_win32.cpp) says what went wrong the same way.
#pragma once

#include <string>

namespace cgiecho::platform {

// "error N (the system's text for it)", for a GetLastError() code.
std::string system_error_text(unsigned long code);

}  // namespace cgiecho::platform
