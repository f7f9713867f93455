// The operating system as the Windows build sees it: kernel32 for handles,
// environment, files and process, advapi32 for a file only its owner may
// open, ole32 for COM around the run.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>

#include <string>

#include "platform/command_tail.h"
#include "platform/platform.h"
#include "platform/win32_error.h"
#include "platform/write_all.h"

namespace cgiecho::platform {
namespace {

// Values of this size or less come back from the first lookup.
constexpr DWORD kValueBuffer = 7916;
constexpr std::size_t kMaxNameForApi = 32767;

HANDLE g_console_input = INVALID_HANDLE_VALUE;
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

std::string own_env(std::string_view name) {
  const std::string key(name.substr(0, std::min(name.find('\0'), kMaxNameForApi)));
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

std::size_t own_read(char* buffer, std::size_t count) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  if (!ReadFile(in, buffer, static_cast<DWORD>(count), &got, nullptr)) return 0;
  return got;
}

void write_handle(DWORD which, std::string_view bytes) {
  // The handle is asked for every time: a caller may have redirected it.
  HANDLE out = GetStdHandle(which);
  write_all(bytes, [out](const char* data, std::size_t count) -> long long {
    // One call takes at most what a DWORD counts; the loop offers the rest.
    const DWORD ask = count > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(out, data, ask, &put, nullptr)) return -1;
    return static_cast<long long>(put);
  });
}

class ProcessChannel final : public Channel {
 public:
  std::string env(std::string_view name) override { return own_env(name); }
  Variables environment() override { return process_environment(); }
  std::size_t read(char* buffer, std::size_t count) override { return own_read(buffer, count); }
  void write(std::string_view bytes) override { write_handle(STD_OUTPUT_HANDLE, bytes); }
};

ProcessChannel g_process;
Channel* g_channel = nullptr;

std::string last_error() { return system_error_text(GetLastError()); }

}  // namespace

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

void set_channel(Channel* channel) { g_channel = channel; }
Channel* channel() { return g_channel; }
Channel& process_channel() { return g_process; }

std::string env(std::string_view name) {
  if (g_channel != nullptr) return g_channel->env(name);
  return own_env(name);
}

Variables environment() {
  if (g_channel != nullptr) return g_channel->environment();
  return process_environment();
}

std::size_t read_stdin(char* buffer, std::size_t count) {
  if (g_channel != nullptr) return g_channel->read(buffer, count);
  return own_read(buffer, count);
}

void write_stdout(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  write_handle(STD_OUTPUT_HANDLE, bytes);
}

void write_stderr(std::string_view bytes) { write_handle(STD_ERROR_HANDLE, bytes); }

std::string system_error_text(unsigned long code) {
  char text[512] = {};
  const DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                    text, sizeof text, nullptr);
  std::string message(text, size);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == '.'))
    message.pop_back();
  return "error " + std::to_string(code) + (message.empty() ? "" : " (" + message + ")");
}

Created create_private_file(const std::string& path, std::intptr_t& handle, std::string& error) {
  // A DACL that grants the file's user everything and nobody else anything,
  // protected from what the folder would pass down.
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    error = last_error();
    return Created::failed;
  }
  alignas(TOKEN_USER) unsigned char user[256];
  DWORD user_size = 0;
  const BOOL got_user = GetTokenInformation(token, TokenUser, user, sizeof user, &user_size);
  CloseHandle(token);
  if (!got_user) {
    error = last_error();
    return Created::failed;
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  alignas(ACL) unsigned char acl_bytes[256];
  auto* acl = reinterpret_cast<ACL*>(acl_bytes);
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    error = last_error();
    return Created::failed;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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

std::int64_t unix_time_microseconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;  // 100 ns since 1601
  return static_cast<std::int64_t>((ticks - 116444736000000000ull) / 10);
}

std::uint64_t process_id() { return GetCurrentProcessId(); }

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

}  // namespace cgiecho::platform
