// Workers on Windows. The master opens the TCP listener and starts each
// worker as the program itself again (its module file, the same command
// line), suspended, puts it in a job object that ends every worker when
// the master's handles close, however the master ends, and lets it run. A
// worker inherits three handles, named by one variable of its environment:
// the listener (also its standard input, where libfcgi looks for one), the
// mapping of the shared memory, and the event that asks it to stop, which
// the worker's own stop path watches as it would a web server's. The
// master sees a worker end through its process handle.
#include "platform/workers.h"

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <cgiecho/platform/platform.h>

#include "platform/listener.h"
#include "platform/diagnostics.h"
#include "text/ascii.h"
#include "text/decimal.h"

namespace cgiecho::platform {
namespace {

// The variable a web server names its shutdown event in; the worker's stop
// path takes it from there.
constexpr const char* kStopVariable = "_FCGI_SHUTDOWN_EVENT_";
// WaitForMultipleObjects watches 64 handles at most: past that, workers'
// ends are looked for this often.
constexpr std::int64_t kTickMs = 100;
// The exit code of a worker the master ends: shown as what the master did,
// never as the worker's own exit.
constexpr UINT kEndedByMaster = 0xE0000001u;

[[noreturn]] void fail(const std::string& what) {
  give_up(what + " (error " + std::to_string(GetLastError()) + ")");
}

// How a worker's exit code reads in the log: an NTSTATUS error or warning
// is an exception that ended it; anything else its own exit status.
std::string how_it_ended(DWORD code) {
  static const struct {
    DWORD code;
    const char* name;
  } kKnown[] = {{0xC0000005, "access violation"},       {0xC00000FD, "stack overflow"},
                {0xC0000094, "integer divide by zero"}, {0xC000001D, "illegal instruction"},
                {0xC0000409, "stack buffer overrun"},   {0xC0000374, "heap corruption"},
                {0x80000003, "breakpoint"},             {0xC000013A, "Ctrl+C"}};
  if (code < 0x80000000u) return "exited with status " + std::to_string(code);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  const std::string out = std::string("ended by exception ") + hex;
  for (const auto& k : kKnown)
    if (k.code == code) return out + " (" + k.name + ")";
  return out;
}

HANDLE g_stop = nullptr;  // set by Ctrl+C, Ctrl+Break and the web server's shutdown event

BOOL WINAPI on_console_stop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  SetEvent(g_stop);
  return TRUE;
}

// A worker leaves Ctrl+C and Ctrl+Break, which reach every process of the
// console, to the master, which stops the workers in order.
BOOL WINAPI ignore_console_stop(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

// Ends the process with the exception's code at once: no debugger, no
// error report dialog, nothing that waits for a person.
LONG WINAPI end_on_exception(EXCEPTION_POINTERS* info) {
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// For the master and each worker: a crash ends the process at once (the
// master then ends the workers through the job), instead of a dialog or a
// debugger that waits for someone to answer it.
void never_wait_for_a_person() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(end_on_exception);
}

template <class Handle>
std::uint64_t value_of(Handle h) {
  return static_cast<std::uint64_t>(reinterpret_cast<ULONG_PTR>(h));
}

// The marker: "SLOT,FIGURES,LISTENER,STOP", the last three inherited
// handle values.
std::vector<std::uint64_t> read_marker(std::uint32_t slots) { return read_pool_marker(4, slots, ~std::uint64_t{0}); }
HANDLE handle_at(const std::vector<std::uint64_t>& marker, std::size_t i) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(marker[i]));
}

HANDLE g_saved_output = nullptr;
HANDLE g_saved_error = nullptr;

}  // namespace

struct WorkerHost::State {
  std::size_t shared_size = 0;
  std::string bound;  // the listener's IPv4 address
  SOCKET listener = INVALID_SOCKET;
  HANDLE figures = nullptr;
  HANDLE worker_stop = nullptr;
  HANDLE job = nullptr;
  void* shared = nullptr;
  std::wstring program;
  std::wstring command_line;
  struct Process {
    DWORD pid;
    HANDLE handle;
  };
  std::vector<Process> processes;
  bool said_no_job = false;

  // As libfcgi listens for a responder of one process: the host's IPv4
  // address (a dotted address, or the first address of the name), no other
  // program on the port.
  void open_listener(const WorkerListener& at) {
    const std::string where = tcp_host_address(at.host);
    bound = where;
    if (where.size() != 4) give_up("CGIECHO_LISTEN=" + at.address + ": cannot listen there");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::copy(where.begin(), where.end(), reinterpret_cast<char*>(&address.sin_addr));
    address.sin_port = htons(static_cast<u_short>(at.port));
    listener = socket(AF_INET, SOCK_STREAM, 0);
    const int exclusive = 1;
    if (listener == INVALID_SOCKET ||
        setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) != 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, at.backlog) != 0)
      give_up("CGIECHO_LISTEN=" + at.address + ": cannot listen there");
    SetHandleInformation(reinterpret_cast<HANDLE>(listener), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }

  HANDLE handle_of(std::int64_t pid) const {
    for (const Process& p : processes)
      if (p.pid == static_cast<DWORD>(pid)) return p.handle;
    return nullptr;
  }
};

WorkerHost::WorkerHost(std::size_t shared_size, const WorkerUser&, const WorkerListener& listener, bool stop_event)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.shared_size = shared_size;
  never_wait_for_a_person();
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) fail("cannot start the socket library");
  s.open_listener(listener);

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  s.figures = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, static_cast<DWORD>(shared_size),
                                 nullptr);
  if (s.figures == nullptr) fail("cannot make the pool's shared figures");
  s.shared = MapViewOfFile(s.figures, FILE_MAP_ALL_ACCESS, 0, 0, shared_size);
  if (s.shared == nullptr) fail("cannot map the pool's shared figures");

  s.worker_stop = CreateEventW(&inherit, TRUE, FALSE, nullptr);
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (s.worker_stop == nullptr || g_stop == nullptr) fail("cannot make the pool's stop events");
  SetConsoleCtrlHandler(on_console_stop, TRUE);
  // The workers inherit the master's environment: systemd's variables,
  // which a Unix host (or Wine) may pass on, are no worker's business.
  for (const wchar_t* name : {L"NOTIFY_SOCKET", L"LISTEN_FDS", L"LISTEN_PID", L"LISTEN_FDNAMES"})
    SetEnvironmentVariableW(name, nullptr);

  // Every worker ends when the last handle to the job closes, which the
  // system does when the master ends, by a crash or TerminateProcess too.
  s.job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (s.job == nullptr || !SetInformationJobObject(s.job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
    fail("cannot make the job object that holds the workers");

  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  if (length == 0 || length >= 32768) fail("cannot find its own program file to start workers");
  s.program.assign(path, length);
  s.command_line = GetCommandLineW();
  if (stop_event) {
    std::thread([] {
      wait_for_stop_event();
      SetEvent(g_stop);
    }).detach();
  }
}

WorkerHost::~WorkerHost() {
  if (state_->listener != INVALID_SOCKET) closesocket(state_->listener);
}

void* WorkerHost::shared() const { return state_->shared; }

std::int64_t WorkerHost::start(std::uint32_t slot, bool) {
  State& s = *state_;
  // The master runs no other program: its own environment is the
  // workers', with the marker and the stop event set for each start.
  const std::string stop = std::to_string(value_of(s.worker_stop));
  const std::string marker = std::to_string(slot) + "," + std::to_string(value_of(s.figures)) + "," +
                             std::to_string(static_cast<std::uint64_t>(s.listener)) + "," + stop;
  SetEnvironmentVariableA(kPoolMarker, marker.c_str());
  SetEnvironmentVariableA(kStopVariable, stop.c_str());

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = reinterpret_cast<HANDLE>(s.listener);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE h : {startup.hStdOutput, startup.hStdError})
    if (h != nullptr && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  PROCESS_INFORMATION started{};
  std::vector<wchar_t> line(s.command_line.begin(), s.command_line.end());
  line.push_back(L'\0');
  if (!CreateProcessW(s.program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                      &startup, &started)) {
    say_on_stderr("cannot start a worker: error " + std::to_string(GetLastError()));
    return 0;
  }
  if (!AssignProcessToJobObject(s.job, started.hProcess) && !s.said_no_job) {
    s.said_no_job = true;
    say_on_stderr("workers cannot be put in the pool's job object (error " + std::to_string(GetLastError()) +
        "): a worker may outlive a master that is ended by force");
  }
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  s.processes.push_back({started.dwProcessId, started.hProcess});
  return started.dwProcessId;
}

std::string WorkerHost::reopen_program() { return "not offered on Windows"; }
void WorkerHost::take_next_program() {}
void WorkerHost::drop_next_program() {}

void WorkerHost::ask_to_stop(std::int64_t) { SetEvent(state_->worker_stop); }

void WorkerHost::end(std::int64_t pid) {
  const HANDLE h = state_->handle_of(pid);
  if (h != nullptr) TerminateProcess(h, kEndedByMaster);
}

void WorkerHost::stopping() {
  closesocket(state_->listener);
  state_->listener = INVALID_SOCKET;
}

std::vector<EndedWorker> WorkerHost::reap() {
  std::vector<EndedWorker> ended;
  auto& processes = state_->processes;
  for (auto p = processes.begin(); p != processes.end();) {
    if (WaitForSingleObject(p->handle, 0) != WAIT_OBJECT_0) {
      ++p;
      continue;
    }
    DWORD code = 0;
    GetExitCodeProcess(p->handle, &code);
    CloseHandle(p->handle);
    ended.push_back({p->pid, code == 0, code == kEndedByMaster ? std::string() : how_it_ended(code)});
    p = processes.erase(p);
  }
  return ended;
}

WorkerEvents WorkerHost::wait(std::int64_t wait_ms, bool stop_wanted) {
  std::vector<HANDLE> waits;
  if (stop_wanted) waits.push_back(g_stop);
  for (const auto& p : state_->processes) {
    if (waits.size() == MAXIMUM_WAIT_OBJECTS) break;
    waits.push_back(p.handle);
  }
  const auto wait = static_cast<DWORD>(std::clamp<std::int64_t>(wait_ms, 0, kTickMs));
  if (waits.empty()) {
    Sleep(wait);
  } else {
    WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, wait);
  }
  WorkerEvents events;
  events.stop = stop_wanted && WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0;
  return events;
}

std::string WorkerHost::opened_address() const { return state_->bound; }

// False too when the socket cannot say: it is no listener then either.
bool WorkerHost::listener_accepts() const {
  BOOL listening = FALSE;
  int size = sizeof listening;
  return getsockopt(state_->listener, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &size) == 0 &&
         listening != FALSE;
}

std::int64_t monotonic_ms() { return static_cast<std::int64_t>(GetTickCount64()); }
std::int64_t monotonic_us() { return monotonic_ms() * 1000; }

void notify_service_manager(std::string_view) {}

bool prepare_pool_worker(std::uint32_t slots) {
  const std::vector<std::uint64_t> marker = read_marker(slots);
  if (marker.empty()) return false;
  never_wait_for_a_person();
  SetConsoleCtrlHandler(ignore_console_stop, TRUE);
  // Neither the listener nor the stop event is for programs the handler
  // starts.
  const HANDLE listener = handle_at(marker, 2);
  SetHandleInformation(listener, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(handle_at(marker, 3), HANDLE_FLAG_INHERIT, 0);
  SetStdHandle(STD_INPUT_HANDLE, listener);
  g_saved_output = GetStdHandle(STD_OUTPUT_HANDLE);
  g_saved_error = GetStdHandle(STD_ERROR_HANDLE);
  close_standard_output();
  SetEnvironmentVariableA(kStopVariable, std::to_string(marker[3]).c_str());
  return true;
}

void restore_standard_output() {
  SetStdHandle(STD_OUTPUT_HANDLE, g_saved_output);
  SetStdHandle(STD_ERROR_HANDLE, g_saved_error);
}

PoolMembership join_pool(std::size_t shared_size, std::uint32_t slots) {
  const std::vector<std::uint64_t> marker = read_marker(slots);
  if (marker.empty()) return {};
  SetEnvironmentVariableA(kPoolMarker, nullptr);
  _putenv((std::string(kPoolMarker) + "=").c_str());
  const HANDLE mapping = handle_at(marker, 1);
  void* shared = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, shared_size);
  if (shared == nullptr) give_up("a worker cannot map the pool's shared figures");
  CloseHandle(mapping);
  return {static_cast<std::int64_t>(marker[0]), shared, -1};
}

void tell_ready(const PoolMembership&) {}

void leave_pool(const PoolMembership& pool, std::size_t) { UnmapViewOfFile(pool.shared); }

std::int64_t current_process_id() { return static_cast<std::int64_t>(GetCurrentProcessId()); }

}  // namespace cgiecho::platform
