// Files that only their owner may open, made the same way by the capture
// files (files_win32.cpp) and by kept uploads (platform_win32.cpp).
#pragma once

namespace cgiecho::platform {

// Creates `path` (UTF-16, as CreateFileW takes it) as a new file open for
// writing, with a DACL that grants the process's user everything and
// nobody else anything, protected from what the folder would pass down.
// Never opens what is there: a file, or a link (reparse point) at `path`
// itself, is ERROR_FILE_EXISTS. Gives the HANDLE, or INVALID_HANDLE_VALUE
// with GetLastError() set.
void* create_private_new_file(const wchar_t* path);

}  // namespace cgiecho::platform
