// The operating system as the Windows build sees it: kernel32 for handles,
// environment and process, ole32 for COM around the run.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>

#include <string>

#include "platform/command_tail.h"
#include "platform/platform.h"
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

std::string env(std::string_view name) {
  if (g_channel != nullptr) return g_channel->env(name);
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

std::size_t read_stdin(char* buffer, std::size_t count) {
  if (g_channel != nullptr) return g_channel->read(buffer, count);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  if (!ReadFile(in, buffer, static_cast<DWORD>(count), &got, nullptr)) return 0;
  return got;
}

void write_stdout(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  // The handle is asked for every time: a caller may have redirected it.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  write_all(bytes, [out](const char* data, std::size_t count) -> long long {
    // One call takes at most what a DWORD counts; the loop offers the rest.
    const DWORD ask = count > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(out, data, ask, &put, nullptr)) return -1;
    return static_cast<long long>(put);
  });
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

}  // namespace cgiecho::platform
