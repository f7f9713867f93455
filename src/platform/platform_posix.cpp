// The operating system as the Linux build sees it. Standard input and output
// are file descriptors 0 and 1; the environment is exact-case.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/narrow.h"
#include "platform/platform.h"
#include "platform/write_all.h"

extern char** environ;

namespace cgiecho::platform {
namespace {

// glibc hands argc and argv to initialisers in the executable and in shared
// libraries alike, so a program that loads libcgiecho.so gets its own
// arguments. Only plain pointers here: initialisers may run before any
// constructor of this file.
int g_argc = -1;
char** g_argv = nullptr;

void remember_arguments(int argc, char** argv, char**) {
  g_argc = argc;
  g_argv = argv;
}

__attribute__((section(".init_array"), used)) void (*g_remember_arguments)(int, char**, char**) =
    remember_arguments;

// Without such an initialiser call, the kernel's copy of the arguments.
std::string tail_from_proc() {
  std::string all;
  const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return all;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    all.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  const std::size_t name_end = all.find('\0');
  if (name_end == std::string::npos) return {};
  std::string tail = all.substr(name_end + 1);
  if (!tail.empty() && tail.back() == '\0') tail.pop_back();
  for (char& c : tail)
    if (c == '\0') c = ' ';
  return tail;
}

// A descriptor a web server hands over may be non-blocking: EAGAIN then
// means "not yet", not the end, so the call waits until the descriptor is
// ready and is made again, as after a signal (EINTR). Any other failure is
// the caller's to see.
template <class Call>
ssize_t when_ready(int fd, short events, Call call) {
  for (;;) {
    const ssize_t done = call();
    if (done >= 0) return done;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return done;
    pollfd ready{fd, events, 0};
    ::poll(&ready, 1, -1);  // failed or not, the call is made again and tells
  }
}

Channel* g_channel = nullptr;

}  // namespace

void set_channel(Channel* channel) { g_channel = channel; }
Channel* channel() { return g_channel; }

std::string env(std::string_view name) {
  if (g_channel != nullptr) return g_channel->env(name);
  const std::string key(variable_name(name));
  if (key.empty()) return {};
  const char* value = std::getenv(key.c_str());
  return value ? std::string(value) : std::string();
}

Variables environment() {
  if (g_channel != nullptr) return g_channel->environment();
  return process_environment();
}

Variables process_environment() {
  Variables all;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) continue;  // not a variable: execve lets anything through
    all.emplace_back(text.substr(0, eq), text.substr(eq + 1));
  }
  return all;
}

// The arguments after the program's name, joined by single blanks.
std::string command_tail() {
  if (g_argc < 0 || g_argv == nullptr) return tail_from_proc();
  std::string tail;
  for (int i = 1; i < g_argc && g_argv[i] != nullptr; ++i) {
    if (i > 1) tail += ' ';
    tail += g_argv[i];
  }
  return tail;
}

std::size_t read_stdin(char* buffer, std::size_t count) {
  if (g_channel != nullptr) return g_channel->read(buffer, count);
  const ssize_t got = when_ready(STDIN_FILENO, POLLIN, [&] { return ::read(STDIN_FILENO, buffer, count); });
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

void write_stdout(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  write_all(bytes, [](const char* data, std::size_t count) {
    return when_ready(STDOUT_FILENO, POLLOUT, [&] { return ::write(STDOUT_FILENO, data, count); });
  });
}

bool start_process() {
  // A reader that went away must not kill the program: writes just fail.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

void end_process(int exit_code) { std::exit(exit_code); }

}  // namespace cgiecho::platform
