// What only the process's own user may open, for the Windows side of the
// seam in more than one file: the private files (files_win32.cpp), kept
// uploads (platform_win32.cpp) and the named pipe CGIECHO_LISTEN makes
// (listener_win32.cpp).
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace cgiecho::platform {

// A security descriptor whose DACL grants the process's user everything
// (FILE_ALL_ACCESS, files and pipes alike) and nobody else anything, protected from what a folder would pass down, and
// the attributes (not inheritable) that carry it. It points into itself:
// filled in place and used where it is.
struct OwnerOnly {
  alignas(ACL) unsigned char acl[256];
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;
};

// Fills `out`; false, with GetLastError() telling why, when it cannot.
bool make_owner_only(OwnerOnly& out);

// Creates `path` (UTF-16, as CreateFileW takes it) as a new file open for
// writing, with the owner-only DACL above. Never opens what is there: a
// file, or a link (reparse point) at `path` itself, is ERROR_FILE_EXISTS.
// Gives the HANDLE, or INVALID_HANDLE_VALUE with GetLastError() set.
void* create_private_new_file(const wchar_t* path);

}  // namespace cgiecho::platform
