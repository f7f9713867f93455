// Files a program writes for itself (captures of requests), standard error,
// the clock and the process id, as the Windows build sees them: kernel32,
// and advapi32 for a file that only its owner may open.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include <cgiecho/platform/platform.h>

#include "platform/owner_only_win32.h"
#include "platform/win32_error.h"
#include "platform/write_all.h"

namespace cgiecho::platform {
namespace {

std::string last_error() { return system_error_text(GetLastError()); }

}  // namespace

bool stderr_is_answer() {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  return err != nullptr && err != INVALID_HANDLE_VALUE && err == GetStdHandle(STD_OUTPUT_HANDLE);
}

void write_stderr(std::string_view bytes) {
  // The handle is asked for every time: a caller may have redirected it.
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  write_all(bytes, [err](const char* data, std::size_t count) -> long long {
    const DWORD ask = count > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(err, data, ask, &put, nullptr)) return -1;
    return static_cast<long long>(put);
  });
}

std::string program_name() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string_view name(path, length < MAX_PATH ? length : 0);
  name.remove_prefix(std::min(name.find_last_of("\\/") + 1, name.size()));
  if (name.size() > 4 && _stricmp(path + length - 4, ".exe") == 0) name.remove_suffix(4);
  return std::string(name);
}

std::string system_error_text(unsigned long code) {
  char text[512] = {};
  const DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                    text, sizeof text, nullptr);
  std::string message(text, size);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == '.'))
    message.pop_back();
  return "error " + std::to_string(code) + (message.empty() ? "" : " (" + message + ")");
}

bool make_owner_only(OwnerOnly& out) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(TOKEN_USER) unsigned char user[256];
  DWORD user_size = 0;
  const BOOL got_user = GetTokenInformation(token, TokenUser, user, sizeof user, &user_size);
  const DWORD code = GetLastError();
  CloseHandle(token);
  if (!got_user) {
    SetLastError(code);
    return false;
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  auto* acl = reinterpret_cast<ACL*>(out.acl);
  if (!InitializeAcl(acl, sizeof out.acl, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
      !InitializeSecurityDescriptor(&out.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&out.descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&out.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return false;
  }
  out.attributes = SECURITY_ATTRIBUTES{sizeof out.attributes, &out.descriptor, FALSE};
  return true;
}

void* create_private_new_file(const wchar_t* path) {
  OwnerOnly owner_only;
  if (!make_owner_only(owner_only)) return INVALID_HANDLE_VALUE;
  return CreateFileW(path, GENERIC_WRITE, 0, &owner_only.attributes, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

Created create_private_file(const std::string& path, std::intptr_t& handle, std::string& error) {
  OwnerOnly owner_only;
  if (!make_owner_only(owner_only)) {
    error = last_error();
    return Created::failed;
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &owner_only.attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return Created::exists;
    error = system_error_text(code);
    return Created::failed;
  }
  handle = reinterpret_cast<std::intptr_t>(file);
  return Created::ok;
}

bool write_file(std::intptr_t handle, std::string_view bytes, std::string& error) {
  HANDLE file = reinterpret_cast<HANDLE>(handle);
  DWORD code = 0;
  const std::size_t done = write_all(bytes, [file, &code](const char* data, std::size_t count) -> long long {
    const DWORD ask = count > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(file, data, ask, &put, nullptr)) {
      code = GetLastError();
      return -1;
    }
    return static_cast<long long>(put);
  });
  if (done == bytes.size()) return true;
  error = code == 0 ? "short write" : system_error_text(code);
  return false;
}

void close_file(std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

void remove_file(const std::string& path) { DeleteFileA(path.c_str()); }

bool count_files(const std::string& folder, std::string_view suffix, std::uint64_t limit, std::uint64_t& count,
                 std::string& error) {
  count = 0;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;  // an empty folder
    error = system_error_text(code);
    return false;
  }
  do {
    const std::string_view name(entry.cFileName);
    if (name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix) ++count;
  } while (count < limit && FindNextFileA(find, &entry));
  FindClose(find);
  return true;
}

namespace {

std::int64_t unix_microseconds_of(const FILETIME& time) {
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;  // 100 ns since 1601
  return static_cast<std::int64_t>(ticks / 10) - 11644473600000000;
}

}  // namespace

bool file_time(const std::string& path, std::int64_t& unix_microseconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  unix_microseconds = unix_microseconds_of(data.ftLastWriteTime);
  return true;
}

std::int64_t unix_time_microseconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return unix_microseconds_of(now);
}

std::uint64_t process_id() { return GetCurrentProcessId(); }

}  // namespace cgiecho::platform
