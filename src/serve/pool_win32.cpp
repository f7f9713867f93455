// The pool on Windows. The master opens the TCP listener and runs no
// handler: it starts each worker as the program itself again (its module
// file, the same command line), suspended, puts it in a job object that
// ends every worker when the master's handles close, however the master
// ends, and lets it run. A worker inherits three handles, named by one
// variable of its environment: the listener (also its standard input,
// where libfcgi looks for one), the mapping of the shared figures, and the
// event that asks it to stop, which the worker's own stop path watches as
// it would a web server's. The master sees a worker end through its
// process handle and a request that runs too long through the slot's
// figures.
#include "serve/pool_win32.h"

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <cgiecho/platform/platform.h>

#include "platform/listener.h"
#include "serve/pool.h"
#include "serve/pool_status.h"
#include "serve/responder.h"

namespace cgiecho::pool {
namespace {

// How the master tells a process it starts that it is a worker:
// "SLOT,FIGURES,LISTENER,STOP", the last three inherited handle values.
constexpr const char* kWorkerVariable = "CGIECHO_POOL_WORKER";
// The variable a web server names its shutdown event in; the worker's stop
// path takes it from there.
constexpr const char* kStopVariable = "_FCGI_SHUTDOWN_EVENT_";
constexpr std::int64_t kTickMs = 100;
// The exit code of a worker the master ends: shown as what the master did,
// never as the worker's own exit.
constexpr UINT kEndedByMaster = 0xE0000001u;

std::string hex(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
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
  std::string out = "ended by exception " + hex(code);
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

struct Process {
  HANDLE handle = nullptr;
  DWORD pid = 0;
  std::uint32_t slot = 0;
  bool served = false;  // has taken a request: it started well
  bool timed_out = false;
  bool killed = false;
};

[[noreturn]] void fail(const std::string& what) {
  platform::end_with_message("FastCGI responder: " + what + " (error " + std::to_string(GetLastError()) + ")", 1);
}

class Master {
 public:
  Master(const PoolSettings& settings, const std::string& address, const ListenAddress& where)
      : settings_(settings), address_(address), where_(where) {}

  // Whether the pool ended because its listener no longer takes connections.
  bool listener_lost() const { return listener_lost_; }

  void run(bool stop_event) {
    set_up();
    if (stop_event) {
      std::thread([] {
        platform::wait_for_stop_event();
        SetEvent(g_stop);
      }).detach();
    }
    for (;;) {
      const std::int64_t now = monotonic_ms();
      enforce_deadlines(now);
      refill(now);
      if (stopping_ && processes_.empty()) break;
      std::vector<HANDLE> waits;
      if (!stopping_) waits.push_back(g_stop);
      for (const Process& p : processes_) {
        if (waits.size() == MAXIMUM_WAIT_OBJECTS) break;
        waits.push_back(p.handle);
      }
      const DWORD wait = static_cast<DWORD>(next_wait_ms(now));
      if (waits.empty()) {
        Sleep(wait);
      } else {
        WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, wait);
      }
      if (!stopping_ && WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) begin_stop();
      reap();
      for (const std::string& line : end_lines_.due(monotonic_ms(), false)) platform::say_on_stderr(line);
    }
    for (const std::string& line : end_lines_.due(monotonic_ms(), true)) platform::say_on_stderr(line);
    closesocket(listener_);
  }

 private:
  void set_up() {
    never_wait_for_a_person();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) fail("cannot start the socket library");
    open_listener();
    warn_if_reachable(platform::tcp_host_address(where_.host), address_);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    figures_handle_ = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                         static_cast<DWORD>(sizeof(Figures)), nullptr);
    if (figures_handle_ == nullptr) fail("cannot make the pool's shared figures");
    void* shared = MapViewOfFile(figures_handle_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Figures));
    if (shared == nullptr) fail("cannot map the pool's shared figures");
    figures_ = new (shared) Figures();
    figures_->start_time.store(platform::unix_time_microseconds() / 1000000);
    figures_->workers.store(settings_.workers);

    worker_stop_ = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (worker_stop_ == nullptr || g_stop == nullptr) fail("cannot make the pool's stop events");
    SetConsoleCtrlHandler(on_console_stop, TRUE);
    // The workers inherit the master's environment: systemd's variables,
    // which a Unix host (or Wine) may pass on, are no worker's business.
    for (const wchar_t* name : {L"NOTIFY_SOCKET", L"LISTEN_FDS", L"LISTEN_PID", L"LISTEN_FDNAMES"})
      SetEnvironmentVariableW(name, nullptr);

    // Every worker ends when the last handle to the job closes, which the
    // system does when the master ends, by a crash or TerminateProcess too.
    job_ = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (job_ == nullptr || !SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits))
      fail("cannot make the job object that holds the workers");

    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    if (length == 0 || length >= 32768) fail("cannot find its own program file to start workers");
    program_.assign(path, length);
    command_line_ = GetCommandLineW();
  }

  // As libfcgi listens for a responder of one process: the host's IPv4
  // address (a dotted address, or the first address of the name), no other
  // program on the port.
  void open_listener() {
    const std::string where = platform::tcp_host_address(where_.host);
    if (where.size() != 4) platform::end_with_message("FastCGI responder: CGIECHO_LISTEN=" + address_ + ": cannot listen there", 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::copy(where.begin(), where.end(), reinterpret_cast<char*>(&address.sin_addr));
    address.sin_port = htons(static_cast<u_short>(where_.port));
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    const int exclusive = 1;
    if (listener_ == INVALID_SOCKET ||
        setsockopt(listener_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) != 0 ||
        bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, static_cast<int>(settings_.backlog)) != 0)
      platform::end_with_message("FastCGI responder: CGIECHO_LISTEN=" + address_ + ": cannot listen there", 1);
    SetHandleInformation(reinterpret_cast<HANDLE>(listener_), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }

  static std::wstring number(std::uint64_t value) { return std::to_wstring(value); }
  template <class Handle>
  static std::uint64_t value_of(Handle h) {
    return static_cast<std::uint64_t>(reinterpret_cast<ULONG_PTR>(h));
  }

  bool start() {
    const std::uint32_t slot = take_slot(*figures_, processes_);
    if (slot == kMaxSlots) return false;
    Slot& s = figures_->slots[slot];

    // The master runs no other program: its own environment is the
    // workers', with the marker and the stop event set for each start.
    const std::wstring marker = number(slot) + L"," + number(value_of(figures_handle_)) + L"," +
                                number(static_cast<std::uint64_t>(listener_)) + L"," + number(value_of(worker_stop_));
    SetEnvironmentVariableW(L"CGIECHO_POOL_WORKER", marker.c_str());
    SetEnvironmentVariableW(L"_FCGI_SHUTDOWN_EVENT_", number(value_of(worker_stop_)).c_str());

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = reinterpret_cast<HANDLE>(listener_);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {startup.hStdOutput, startup.hStdError})
      if (h != nullptr && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION started{};
    std::vector<wchar_t> line(command_line_.begin(), command_line_.end());
    line.push_back(L'\0');
    if (!CreateProcessW(program_.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &started)) {
      s.state.store(static_cast<std::uint32_t>(SlotState::free));
      platform::say_on_stderr("cannot start a worker: error " + std::to_string(GetLastError()));
      return false;
    }
    if (!AssignProcessToJobObject(job_, started.hProcess) && !said_no_job_) {
      said_no_job_ = true;
      platform::say_on_stderr("workers cannot be put in the pool's job object (error " +
                              std::to_string(GetLastError()) + "): a worker may outlive a master that is ended by force");
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    Process p;
    p.handle = started.hProcess;
    p.pid = started.dwProcessId;
    p.slot = slot;
    processes_.push_back(p);
    s.pid.store(static_cast<std::int32_t>(started.dwProcessId));
    return true;
  }

  void refill(std::int64_t now) {
    if (stopping_) return;
    // A worker that has taken a request ends the back-off; being ready is
    // not enough (has_served).
    for (Process& p : processes_) {
      if (!p.served && has_served(figures_->slots[p.slot])) {
        p.served = true;
        pace_.served();
      }
    }
    while (processes_.size() < settings_.workers) {
      if (!pace_.may_start(now) || !pace_.started(start(), now)) return;
    }
  }

  void enforce_deadlines(std::int64_t now) {
    for (Process& p : processes_) {
      if (p.killed) continue;
      if (ms_to_timeout(figures_->slots[p.slot], settings_.request_timeout, now) <= 0) {
        p.timed_out = p.killed = true;
        TerminateProcess(p.handle, kEndedByMaster);
      } else if (stopping_ && now >= stop_deadline_ms_) {
        p.killed = true;
        TerminateProcess(p.handle, kEndedByMaster);
      }
    }
  }

  std::int64_t next_wait_ms(std::int64_t now) const {
    std::int64_t wait = end_lines_.wait_ms(now, kTickMs);
    if (!stopping_) wait = pace_.wait_ms(now, wait);
    // Past the stop deadline, the workers ended then wake the wait.
    if (stopping_ && stop_deadline_ms_ > now) wait = std::min(wait, stop_deadline_ms_ - now);
    for (const Process& p : processes_) {
      if (!p.killed) wait = std::min(wait, ms_to_timeout(figures_->slots[p.slot], settings_.request_timeout, now));
    }
    return std::max<std::int64_t>(wait, 0);
  }

  void begin_stop() {
    stopping_ = true;
    stop_deadline_ms_ = monotonic_ms() + static_cast<std::int64_t>(settings_.stop_timeout) * 1000;
    SetEvent(worker_stop_);
    // No new connection waits for workers that are leaving.
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
  }

  void reap() {
    for (auto p = processes_.begin(); p != processes_.end();) {
      if (WaitForSingleObject(p->handle, 0) != WAIT_OBJECT_0) {
        ++p;
        continue;
      }
      DWORD code = 0;
      GetExitCodeProcess(p->handle, &code);
      const Process gone = *p;
      CloseHandle(p->handle);
      p = processes_.erase(p);
      ended(gone, code);
    }
  }

  void ended(const Process& p, DWORD code) {
    Slot& s = figures_->slots[p.slot];
    const auto state = static_cast<SlotState>(s.state.load());
    std::string serving;
    if (state == SlotState::busy) {
      const SlotText text = read_given_text(s);
      serving = " while serving " + text.method + " " + text.script;
    }
    const bool served = p.served || has_served(s);
    s.pid.store(0);
    s.state.store(static_cast<std::uint32_t>(SlotState::free));
    if (code != 0) {
      std::string how = how_it_ended(code);
      if (p.timed_out) {
        figures_->timed_out.fetch_add(1);
        how = "was ended over CGIECHO_REQUEST_TIMEOUT=" + std::to_string(settings_.request_timeout);
      } else if (p.killed) {
        how = "was ended past CGIECHO_STOP_TIMEOUT=" + std::to_string(settings_.stop_timeout);
      } else {
        figures_->crashed.fetch_add(1);
      }
      const std::string line =
          "worker " + std::to_string(p.pid) + " " + how + serving + (stopping_ ? "; not replaced" : "; replaced");
      for (const std::string& said : end_lines_.pass(how, line, monotonic_ms())) platform::say_on_stderr(said);
    } else if (state == SlotState::leaving) {
      figures_->recycled.fetch_add(1);
    }
    if (stopping_) return;
    if (served) {
      if (!p.served) pace_.served();
      return;
    }
    pace_.failed(monotonic_ms());
    // Workers that end before they serve, on a listener that takes no
    // connections, will never serve: starting more would only fail.
    if (!still_listening()) {
      platform::say_on_stderr(
          "the listening socket no longer accepts connections: no worker can serve, and the pool ends with status 1");
      listener_lost_ = true;
      begin_stop();
    }
  }

  // False too when the socket cannot say: it is no listener then either.
  bool still_listening() const {
    BOOL listening = FALSE;
    int size = sizeof listening;
    return getsockopt(listener_, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &size) == 0 &&
           listening != FALSE;
  }

  const PoolSettings& settings_;
  std::string address_;
  ListenAddress where_;
  SOCKET listener_ = INVALID_SOCKET;
  HANDLE figures_handle_ = nullptr;
  HANDLE worker_stop_ = nullptr;
  HANDLE job_ = nullptr;
  Figures* figures_ = nullptr;
  std::wstring program_;
  std::wstring command_line_;
  std::vector<Process> processes_;
  StartPace pace_;
  EndLines end_lines_;
  bool listener_lost_ = false;
  bool stopping_ = false;
  std::int64_t stop_deadline_ms_ = 0;
  bool said_no_job_ = false;
};

struct Marker {
  std::uint64_t slot = 0, figures = 0, listener = 0, stop = 0;
};

// The marker's four numbers; ends the process when the text is not one.
Marker read_marker(const std::string& text) {
  Marker m;
  std::string_view rest(text);
  constexpr std::uint64_t kAny = ~std::uint64_t{0};
  if (!take_number(rest, kMaxSlots - 1, m.slot) || !take_number(rest, kAny, m.figures) ||
      !take_number(rest, kAny, m.listener) || !take_number(rest, kAny, m.stop) || !rest.empty())
    give_up(std::string("not a worker's marker: ") + kWorkerVariable + "=" + text);
  return m;
}

HANDLE g_saved_output = nullptr;
HANDLE g_saved_error = nullptr;

}  // namespace

std::int64_t monotonic_ms() { return static_cast<std::int64_t>(GetTickCount64()); }

void run_windows_master(const PoolSettings& settings, const std::string& address, const ListenAddress& where,
                        bool stop_event) {
  Master master(settings, address, where);
  master.run(stop_event);
  if (master.listener_lost()) platform::end_process(1);
}

bool prepare_windows_worker() {
  const std::string text = platform::process_env(kWorkerVariable);
  if (text.empty()) return false;
  const Marker m = read_marker(text);
  never_wait_for_a_person();
  SetConsoleCtrlHandler(ignore_console_stop, TRUE);
  // Neither the listener nor the stop event is for programs the handler
  // starts.
  const auto listener = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(m.listener));
  SetHandleInformation(listener, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(m.stop)), HANDLE_FLAG_INHERIT, 0);
  SetStdHandle(STD_INPUT_HANDLE, listener);
  g_saved_output = GetStdHandle(STD_OUTPUT_HANDLE);
  g_saved_error = GetStdHandle(STD_ERROR_HANDLE);
  platform::close_standard_output();
  SetEnvironmentVariableA(kStopVariable, std::to_string(m.stop).c_str());
  return true;
}

void restore_standard_output() {
  SetStdHandle(STD_OUTPUT_HANDLE, g_saved_output);
  SetStdHandle(STD_ERROR_HANDLE, g_saved_error);
}

std::unique_ptr<Worker> Worker::from_environment(const PoolSettings& settings) {
  const std::string text = platform::process_env(kWorkerVariable);
  if (text.empty()) return nullptr;
  SetEnvironmentVariableA(kWorkerVariable, nullptr);
  _putenv((std::string(kWorkerVariable) + "=").c_str());
  const Marker m = read_marker(text);
  const auto mapping = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(m.figures));
  void* shared = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Figures));
  if (shared == nullptr) give_up("a worker cannot map the pool's shared figures");
  CloseHandle(mapping);
  return std::unique_ptr<Worker>(new Worker(static_cast<Figures*>(shared), static_cast<std::uint32_t>(m.slot), 0,
                                            settings.max_requests,
                                            static_cast<std::uint32_t>(GetCurrentProcessId()) ^
                                                static_cast<std::uint32_t>(monotonic_ms()),
                                            settings.status_path));
}

Worker::~Worker() {
  if (leave()) figures_->slots[slot_].state.store(static_cast<std::uint32_t>(SlotState::leaving));
  UnmapViewOfFile(figures_);
}

void Worker::ready() {
  Slot& s = figures_->slots[slot_];
  s.pid.store(static_cast<std::int32_t>(GetCurrentProcessId()));
  s.state.store(static_cast<std::uint32_t>(SlotState::idle));
}


}  // namespace cgiecho::pool
