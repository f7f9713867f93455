// run_program on Windows: CreateProcess with pipes for standard input and
// output; a thread feeds the input while this one reads the output, so
// that a program that answers before it reads (or never reads) cannot
// stall either side.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

#include <cgiecho/platform/platform.h>

#include "platform/win32_error.h"

namespace cgiecho::platform {
namespace {

class Handle {
 public:
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { close(); }
  HANDLE get() const { return h_; }
  HANDLE* out() { return &h_; }
  void close() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// One argument as the C runtime's parser reads it back: quoted when it is
// empty or holds blanks or quotes, with backslashes doubled only where a
// quote follows them.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < arg.size() && arg[i] == '\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, '\\');
      break;
    }
    if (arg[i] == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out += arg[i];
  }
  return out + "\"";
}

// The block CreateProcess takes: "NAME=VALUE\0" each, then one more NUL.
// Names may start with "=" (the system's per-drive folders) but hold none
// after that.
std::string environment_block(const Variables& environment, std::string& failure) {
  std::string block;
  for (const auto& [name, value] : environment) {
    if (name.empty() || name.find('=', 1) != std::string::npos || has_nul(name)) {
      failure = "the variable name \"" + name.substr(0, name.find('\0')) + "\" cannot be put in an environment";
      return {};
    }
    if (has_nul(value)) {
      failure = "the value of " + name + " holds a NUL byte, which an environment cannot carry";
      return {};
    }
    block += name;
    block += '=';
    block += value;
    block += '\0';
  }
  if (block.empty()) block += '\0';  // an empty block still ends in two NULs
  block += '\0';
  return block;
}

// Deletes the attribute list when the run ends, on every way out.
class AttributeList {
 public:
  explicit AttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) : list_(list) {}
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() { DeleteProcThreadAttributeList(list_); }

 private:
  LPPROC_THREAD_ATTRIBUTE_LIST list_;
};

struct Feed {
  HANDLE pipe;
  std::string_view input;
};

DWORD WINAPI feed_input(void* argument) {
  const Feed& feed = *static_cast<const Feed*>(argument);
  std::string_view rest = feed.input;
  while (!rest.empty()) {
    const DWORD ask = rest.size() > 0x10000 ? 0x10000 : static_cast<DWORD>(rest.size());
    DWORD put = 0;
    if (!WriteFile(feed.pipe, rest.data(), ask, &put, nullptr) || put == 0) break;  // the program stopped reading
    rest.remove_prefix(put);
  }
  CloseHandle(feed.pipe);
  return 0;
}

std::string last_error_text(const std::string& what) { return what + ": " + system_error_text(GetLastError()); }

}  // namespace

ProgramRun run_program(const std::vector<std::string>& command, std::string_view tail,
                       const Variables& environment, std::string_view input) {
  ProgramRun run;
  if (command.empty()) {
    run.failure = "no program named";
    return run;
  }
  std::string line;
  for (const auto& arg : command) {
    if (has_nul(arg)) {
      run.failure = "an argument holds a NUL byte, which a command line cannot carry";
      return run;
    }
    if (!line.empty()) line += ' ';
    line += quoted(arg);
  }
  if (has_nul(tail)) {
    run.failure = "the command-line tail holds a NUL byte, which a command line cannot carry";
    return run;
  }
  if (!tail.empty()) {
    line += ' ';
    line += tail;
  }
  std::string block = environment_block(environment, run.failure);
  if (!run.failure.empty()) return run;

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle in_read, in_write, out_read, out_write, err;
  if (!CreatePipe(in_read.out(), in_write.out(), &inherit, 0) ||
      !CreatePipe(out_read.out(), out_write.out(), &inherit, 0)) {
    run.failure = last_error_text("CreatePipe");
    return run;
  }
  // Only the child's ends are inherited.
  SetHandleInformation(in_write.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
  const HANDLE own_err = GetStdHandle(STD_ERROR_HANDLE);
  if (own_err != nullptr && own_err != INVALID_HANDLE_VALUE)
    DuplicateHandle(GetCurrentProcess(), own_err, GetCurrentProcess(), err.out(), 0, TRUE, DUPLICATE_SAME_ACCESS);

  // The child inherits its three standard handles and nothing else: not
  // the pipes' other ends, nor any inheritable handle this process (or a
  // thread of it) holds.
  HANDLE inherited[3] = {in_read.get(), out_write.get(), err.get()};
  const DWORD inherited_count = err.get() != nullptr ? 3 : 2;
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_room(list_size);
  const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_room.data());
  if (list_room.empty() || !InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
    run.failure = last_error_text("InitializeProcThreadAttributeList");
    return run;
  }
  AttributeList list_owner(list);
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 inherited_count * sizeof(HANDLE), nullptr, nullptr)) {
    run.failure = last_error_text("UpdateProcThreadAttribute");
    return run;
  }

  STARTUPINFOEXA start{};
  start.StartupInfo.cb = sizeof start;
  start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  start.StartupInfo.hStdInput = in_read.get();
  start.StartupInfo.hStdOutput = out_write.get();
  start.StartupInfo.hStdError = err.get();
  start.lpAttributeList = list;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT, block.data(),
                      nullptr, &start.StartupInfo, &process)) {
    run.failure = last_error_text(command[0]);
    return run;
  }
  run.started = true;
  CloseHandle(process.hThread);
  in_read.close();
  out_write.close();
  err.close();

  Feed feed{in_write.get(), input};
  *in_write.out() = nullptr;  // the feeding thread closes it
  HANDLE feeder = CreateThread(nullptr, 0, feed_input, &feed, 0, nullptr);
  if (feeder == nullptr) feed_input(&feed);  // no thread: feed first, which a small input survives
  char buffer[65536];
  DWORD read_error = ERROR_SUCCESS;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(out_read.get(), buffer, sizeof buffer, &got, nullptr)) {
      read_error = GetLastError();
      break;
    }
    if (got == 0) break;
    run.output.append(buffer, got);
  }
  if (read_error != ERROR_SUCCESS && read_error != ERROR_BROKEN_PIPE) {
    // A pipe that failed otherwise than by the program's end leaves a
    // program that may wait on it forever: it is ended, so the wait ends.
    run.failure = "reading its output: " + system_error_text(read_error);
    TerminateProcess(process.hProcess, 1);
  }
  out_read.close();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process.hProcess, &code)) run.exit_code = static_cast<int>(code);
  CloseHandle(process.hProcess);
  if (feeder != nullptr) {
    WaitForSingleObject(feeder, INFINITE);
    CloseHandle(feeder);
  }
  return run;
}

}  // namespace cgiecho::platform
