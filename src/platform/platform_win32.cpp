// The operating system as the Windows build sees it: kernel32 for handles,
// environment and process, ole32 for COM around the run.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <string>

#include <cgiecho/platform/platform.h>

#include "platform/command_tail.h"
#include "platform/narrow.h"
#include "platform/owner_only_win32.h"
#include "platform/write_all.h"

namespace cgiecho::platform {
namespace {

// Values of this size or less come back from the first lookup.
constexpr DWORD kValueBuffer = 7916;
constexpr std::size_t kMaxNameForApi = 32767;

HANDLE g_console_input = INVALID_HANDLE_VALUE;
Channel* g_channel = nullptr;
DWORD g_tls_slot = TLS_OUT_OF_INDEXES;

// The main thread's own state, reached through its TLS slot.
struct ThreadRecord {
  DWORD last_error = 0;
};
ThreadRecord g_main_thread;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      return TRUE;  // handled: the request runs to its end
    default:
      return FALSE;  // logoff, shutdown: the default handler decides
  }
}

// Under a web server the standard handles are pipes and every call here
// fails; the failures change nothing, so none is checked.
void prepare_console() {
  g_console_input = CreateFileA("CONIN$", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) out = GetStdHandle(STD_ERROR_HANDLE);
  SetConsoleMode(out, ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT);
  SetConsoleMode(g_console_input, 0);
  CONSOLE_CURSOR_INFO cursor{};
  if (!GetConsoleCursorInfo(out, &cursor) || cursor.dwSize == 0) {
    cursor.dwSize = 10;
    cursor.bVisible = TRUE;
    SetConsoleCursorInfo(out, &cursor);
  }
}

}  // namespace

void set_channel(Channel* channel) { g_channel = channel; }
Channel* channel() { return g_channel; }

std::string env(std::string_view name) {
  if (g_channel != nullptr) return g_channel->env(name);
  return process_env(name);
}

std::string process_env(std::string_view name) {
  const std::string key(variable_name(name).substr(0, kMaxNameForApi));
  if (key.empty()) return {};
  std::string value(kValueBuffer, '\0');
  for (;;) {
    const DWORD got = GetEnvironmentVariableA(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (got < value.size()) {  // fits: got is the length, 0 when unset
      value.resize(got);
      return value;
    }
    // Too small: got is the size needed. Ask again; the value may change.
    value.assign(got, '\0');
  }
}

Variables environment() {
  if (g_channel != nullptr) return g_channel->environment();
  return process_environment();
}

Variables process_environment() {
  Variables all;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return all;
  for (const char* entry = block; *entry != '\0';) {
    const std::string_view text(entry);
    // Entries such as "=C:=C:\dir" keep the system's per-drive folders:
    // their name starts with the "=".
    const std::size_t eq = text.find('=', 1);
    if (eq != std::string_view::npos) all.emplace_back(text.substr(0, eq), text.substr(eq + 1));
    entry += text.size() + 1;
  }
  FreeEnvironmentStringsA(block);
  return all;
}

std::string command_tail() {
  const char* line = GetCommandLineA();
  return std::string(command_tail_of(line ? std::string_view(line) : std::string_view()));
}

Read read_input(char* buffer, std::size_t count) {
  if (g_channel != nullptr) return g_channel->read(buffer, count);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return {0, false};
  DWORD got = 0;
  // One call takes at most what a DWORD counts; the caller asks for the rest.
  if (!ReadFile(in, buffer, clamp_count<DWORD>(count), &got, nullptr)) {
    // The writer's end of a pipe closed: the end of the input, as on POSIX.
    const DWORD error = GetLastError();
    return {0, error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF && error != ERROR_INVALID_HANDLE};
  }
  return {got, false};
}

std::size_t read_stdin(char* buffer, std::size_t count) { return read_input(buffer, count).size; }

void write_stdout(std::string_view bytes) { (void)write_output(bytes); }

bool write_output(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  // The handle is asked for every time: a caller may have redirected it.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  return write_all(bytes, [out](const char* data, std::size_t count) -> long long {
           // One call takes at most what a DWORD counts; the loop offers the rest.
           const DWORD ask = clamp_count<DWORD>(count, 0x7FFFFFFF);
           DWORD put = 0;
           if (!WriteFile(out, data, ask, &put, nullptr)) return -1;
           return static_cast<long long>(put);
         }) == bytes.size();
}

bool start_process() {
  CoInitialize(nullptr);
  prepare_console();
  SetConsoleCtrlHandler(on_console_event, TRUE);
  g_tls_slot = TlsAlloc();
  if (g_tls_slot == TLS_OUT_OF_INDEXES || !TlsSetValue(g_tls_slot, &g_main_thread)) {
    if (g_tls_slot != TLS_OUT_OF_INDEXES) TlsFree(g_tls_slot);
    g_tls_slot = TLS_OUT_OF_INDEXES;
    return false;  // end_process uninitialises COM on the way out

  }
  return true;
}

void end_process(int exit_code) {
  if (g_console_input != INVALID_HANDLE_VALUE) CloseHandle(g_console_input);
  if (g_tls_slot != TLS_OUT_OF_INDEXES) {
    TlsSetValue(g_tls_slot, nullptr);
    TlsFree(g_tls_slot);
  }
  CoUninitialize();
  ExitProcess(static_cast<UINT>(exit_code));
}

// The C heap: the runtime's realloc grows in place where it can and copies
// otherwise.
char* take_room(std::size_t size) { return static_cast<char*>(std::malloc(size)); }

char* grow_room(char* room, std::size_t, std::size_t new_size) {
  return static_cast<char*>(std::realloc(room, new_size));
}

void give_back_room(char* room, std::size_t) { std::free(room); }

}  // namespace cgiecho::platform

// ---- Temp files for uploads ------------------------------------------------
#include <atomic>

namespace cgiecho::platform {
namespace {

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// UTF-8 to the system's wide paths; false for bytes that are not UTF-8 or
// hold a NUL, which would end the name early.
bool wide_path(std::string_view path, std::wstring& out) {
  if (path.empty() || path.size() > 0x7FFFFFFF || path.find('\0') != std::string_view::npos) return false;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), nullptr, 0);
  if (n <= 0) return false;
  out.assign(static_cast<std::size_t>(n), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), out.data(),
                             n) == n;
}

// Positioned I/O on a handle opened without FILE_FLAG_OVERLAPPED: the
// OVERLAPPED only carries the offset, and the call completes before it
// returns.
OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

// Every byte from `offset` on, or false; `done` counts what went out
// either way (it may be the caller's offset itself).
bool write_handle(HANDLE h, std::uint64_t offset, const char* data, std::size_t count, std::uint64_t& done) {
  while (count > 0) {
    const DWORD ask = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    OVERLAPPED o = at_offset(offset);
    DWORD put = 0;
    if (!WriteFile(h, data, ask, &put, &o) || put == 0) return false;
    data += put;
    count -= put;
    offset += put;
    done += put;
  }
  return true;
}

// The failing call's error, or `fallback` where it set none.
int error_or(DWORD fallback) {
  const DWORD code = GetLastError();
  return static_cast<int>(code != 0 ? code : fallback);
}

// A new private file (owner_only_win32.h) filled by `fill(out)` (false:
// failed, GetLastError() set), removed again when anything failed.
template <class Fill>
FileResult fill_new(const std::wstring& path, Fill&& fill) {
  HANDLE out = create_private_new_file(path.c_str());
  if (out == INVALID_HANDLE_VALUE) return {error_or(ERROR_CANNOT_MAKE)};
  SetLastError(0);
  int error = fill(out) ? 0 : error_or(ERROR_WRITE_FAULT);
  if (!CloseHandle(out) && error == 0) error = error_or(ERROR_WRITE_FAULT);
  if (error != 0) DeleteFileW(path.c_str());
  return {error};
}

// `path` as a new file's full name, or, with a `folder` handle, `path` as
// a name inside that folder: the folder's own name as the system has it
// now ("\\?\C:\..."), which nothing can change while the handle, shared
// with nobody who deletes, stays open; the prefix also keeps a name such
// as "NUL" from naming a device.
int target_path(HANDLE folder, std::string_view path, std::wstring& out) {
  std::wstring name;
  if (!wide_path(path, name)) return ERROR_INVALID_NAME;
  if (folder == INVALID_HANDLE_VALUE) {
    out = std::move(name);
    return 0;
  }
  std::wstring dir(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD n = GetFinalPathNameByHandleW(folder, dir.data(), static_cast<DWORD>(dir.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return error_or(ERROR_PATH_NOT_FOUND);
    if (n < dir.size()) {  // fits: n is the length
      dir.resize(n);
      if (dir.empty() || dir.back() != L'\\') dir += L'\\';
      out = dir + name;
      return 0;
    }
    dir.assign(n, L'\0');  // too small: n is the size needed
  }
  return ERROR_FILENAME_EXCED_RANGE;
}

// `make(folder handle, name)` inside `folder`, opened once and held
// without FILE_SHARE_DELETE, so that the folder stays where it is.
template <class Make>
FileResult in_folder(std::string_view folder, std::string_view name, Make&& make) noexcept {
  if (!plain_file_name(name)) return {ERROR_INVALID_NAME};
  try {
    std::wstring wide;
    if (!wide_path(folder, wide)) return {ERROR_INVALID_NAME};
    struct Folder {
      HANDLE h;
      ~Folder() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      }
    } dir{CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr)};  // closed on every way out
    if (dir.h == INVALID_HANDLE_VALUE) return {error_or(ERROR_PATH_NOT_FOUND)};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(dir.h, &info)) return {error_or(ERROR_DIRECTORY)};
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {ERROR_DIRECTORY};
    return make(dir.h, name);
  } catch (...) {
    return {ERROR_NOT_ENOUGH_MEMORY};
  }
}

FileResult write_new_at(HANDLE folder, std::string_view path, std::string_view bytes) {
  std::wstring target;
  if (const int e = target_path(folder, path, target); e != 0) return {e};
  return fill_new(target, [bytes](HANDLE out) {
    std::uint64_t put = 0;
    return write_handle(out, 0, bytes.data(), bytes.size(), put);
  });
}

std::atomic<unsigned> g_temp_counter{0};

}  // namespace

bool TempFile::create() noexcept {
  close();
  try {
    std::wstring dir(MAX_PATH + 1, L'\0');
    DWORD n = GetTempPathW(static_cast<DWORD>(dir.size()), dir.data());
    if (n > dir.size()) {
      dir.assign(n, L'\0');
      n = GetTempPathW(static_cast<DWORD>(dir.size()), dir.data());
    }
    if (n == 0 || n > dir.size()) return false;
    dir.resize(n);  // ends with a backslash
    for (int attempt = 0; attempt < 100; ++attempt) {
      LARGE_INTEGER tick{};
      QueryPerformanceCounter(&tick);
      const std::wstring path = dir + L"cgiecho-upload-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(tick.QuadPart) + L"-" + std::to_wstring(g_temp_counter.fetch_add(1)) +
                                L".tmp";
      // Shared with nobody: no other process, of any user, opens it while
      // it exists, and the system deletes it when the last handle goes,
      // which the end of the process closes however it ends.
      HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        handle_ = reinterpret_cast<std::intptr_t>(h);
        return true;
      }
      if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
  } catch (...) {
    return false;
  }
}

bool TempFile::write(std::string_view bytes) noexcept {
  return handle_ != kNone && write_handle(as_handle(handle_), size_, bytes.data(), bytes.size(), size_);
}

bool TempFile::read_at(std::uint64_t offset, char* buffer, std::size_t count, std::size_t& got) const noexcept {
  got = 0;
  if (handle_ == kNone) return false;
  while (got < count && offset + got < size_) {
    const std::size_t left = count - got;
    const DWORD ask = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    OVERLAPPED o = at_offset(offset + got);
    DWORD n = 0;
    if (!ReadFile(as_handle(handle_), buffer + got, ask, &n, &o)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  return true;
}

// No link to a delete-on-close file survives its close, so the bytes are
// copied. `dir` is a folder's handle, or kNone: `path` is the whole path.
FileResult TempFile::keep_at(std::intptr_t dir, const std::string& path) const {
  std::wstring target;
  if (const int e = target_path(dir == kNone ? INVALID_HANDLE_VALUE : as_handle(dir), path, target); e != 0)
    return {e};
  std::string chunk(std::size_t{1} << 16, '\0');
  return fill_new(target, [&](HANDLE out) {
    for (std::uint64_t at = 0; at < size_;) {
      std::size_t got = 0;
      std::uint64_t put = 0;
      if (!read_at(at, chunk.data(), chunk.size(), got) || got == 0 || !write_handle(out, at, chunk.data(), got, put))
        return false;
      at += got;
    }
    return true;
  });
}

FileResult TempFile::keep_as(std::string_view path) const noexcept {
  if (handle_ == kNone) return {ERROR_INVALID_HANDLE};
  try {
    return keep_at(kNone, std::string(path));
  } catch (...) {
    return {ERROR_NOT_ENOUGH_MEMORY};
  }
}

FileResult TempFile::keep_in(std::string_view folder, std::string_view name) const noexcept {
  if (handle_ == kNone) return {ERROR_INVALID_HANDLE};
  return in_folder(folder, name, [this](HANDLE dir, std::string_view n) {
    return keep_at(reinterpret_cast<std::intptr_t>(dir), std::string(n));
  });
}

void TempFile::close() noexcept {
  if (handle_ != kNone) CloseHandle(as_handle(handle_));
  handle_ = kNone;
  size_ = 0;
  linkable_ = false;
}

FileResult write_new_file(std::string_view path, std::string_view bytes) noexcept {
  try {
    return write_new_at(INVALID_HANDLE_VALUE, path, bytes);
  } catch (...) {
    return {ERROR_NOT_ENOUGH_MEMORY};
  }
}

FileResult write_new_file_in(std::string_view folder, std::string_view name, std::string_view bytes) noexcept {
  return in_folder(folder, name, [bytes](HANDLE dir, std::string_view n) { return write_new_at(dir, n, bytes); });
}

}  // namespace cgiecho::platform

// ---- Files a program keeps, and random ids -----------------------------------
namespace cgiecho::platform {

bool is_folder(std::string_view path) noexcept {
  try {
    std::wstring wide;
    if (!wide_path(path, wide)) return false;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  } catch (...) {
    return false;
  }
}

FileRead read_file(std::string_view path, std::uint64_t max, std::string& out) noexcept {
  try {
    std::wstring wide;
    if (!wide_path(path, wide)) return FileRead::failed;
    // Shared for reading and writing, so a writer elsewhere never fails
    // because of this read.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::missing : FileRead::failed;
    }
    std::string text;
    char chunk[16384];
    bool ok = true;
    for (;;) {
      DWORD n = 0;
      if (!ReadFile(h, chunk, sizeof chunk, &n, nullptr)) {
        ok = false;
        break;
      }
      if (n == 0) break;
      if (text.size() + n > max) {
        ok = false;
        break;
      }
      text.append(chunk, n);
    }
    CloseHandle(h);
    if (!ok) return FileRead::failed;
    out = std::move(text);
    return FileRead::ok;
  } catch (...) {
    return FileRead::failed;
  }
}

}  // namespace cgiecho::platform
