// Everything the program asks of the operating system. One implementation
// per platform (platform_posix.cpp, platform_win32.cpp) and a fake for tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cgiecho::platform {

// The value of an environment variable, whole; "" when unset. The name is
// taken up to its first NUL, as the operating system sees names.
std::string env(std::string_view name);

// Every variable as a name and a value, in the order the system keeps
// them: each entry's name runs to its first "=" (on Windows, past a leading
// "=", which the system uses for its own entries).
using Variables = std::vector<std::pair<std::string, std::string>>;
Variables environment();
// The process's own, also while a channel serves a request (a FastCGI
// responder's settings come from here).
Variables process_environment();

// The command line after the program's name (see command_tail.h).
std::string command_tail();

// One read of at most `count` bytes from standard input into `buffer`.
// Returns the bytes read; 0 at end of input, on failure or without stdin.
std::size_t read_stdin(char* buffer, std::size_t count);

// Puts all the bytes on standard output as one write from the caller's
// view (see write_all.h), best effort: a failure is not reported and the
// caller carries on.
void write_stdout(std::string_view bytes);

// A request that arrives over a connection rather than through the process
// itself (a FastCGI request): while one is set, env, read_stdin and
// write_stdout serve it, with the same meaning, instead of the process's own
// environment and standard handles. Only the command-line tail stays the
// process's.
class Channel {
 public:
  virtual std::string env(std::string_view name) = 0;
  virtual Variables environment() = 0;
  virtual std::size_t read(char* buffer, std::size_t count) = 0;
  virtual void write(std::string_view bytes) = 0;

 protected:
  ~Channel() = default;
};

// The channel of the request in hand; null gives the process's own back.
void set_channel(Channel* channel);

// Process start-up for the echo program: false when the per-thread state
// cannot be set up (the program then ends with 255 and writes nothing).
bool start_process();
[[noreturn]] void end_process(int exit_code);

}  // namespace cgiecho::platform
