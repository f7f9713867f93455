// The operating system as the Linux build sees it. Standard input and output
// are file descriptors 0 and 1; the environment is exact-case.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

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

Channel* g_channel = nullptr;

std::string own_env(std::string_view name) {
  name = name.substr(0, name.find('\0'));
  // A name with "=" cannot be set on POSIX; getenv would match a prefix.
  if (name.empty() || name.find('=') != std::string_view::npos) return {};
  const std::string key(name);
  const char* value = std::getenv(key.c_str());
  return value ? std::string(value) : std::string();
}

std::size_t own_read(char* buffer, std::size_t count) {
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

void write_fd(int fd, std::string_view bytes) {
  write_all(bytes, [fd](const char* data, std::size_t count) -> ssize_t {
    for (;;) {
      const ssize_t put = ::write(fd, data, count);
      if (put >= 0 || errno != EINTR) return put;
    }
  });
}

class ProcessChannel final : public Channel {
 public:
  std::string env(std::string_view name) override { return own_env(name); }
  Variables environment() override { return process_environment(); }
  std::size_t read(char* buffer, std::size_t count) override { return own_read(buffer, count); }
  void write(std::string_view bytes) override { write_fd(STDOUT_FILENO, bytes); }
};

ProcessChannel g_process;

std::string errno_text() { return std::strerror(errno); }

}  // namespace

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
  return own_read(buffer, count);
}

void write_stdout(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  write_fd(STDOUT_FILENO, bytes);
}

void write_stderr(std::string_view bytes) { write_fd(STDERR_FILENO, bytes); }

Created create_private_file(const std::string& path, std::intptr_t& handle, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    handle = fd;
    return Created::ok;
  }
  if (errno == EEXIST) return Created::exists;
  error = errno_text();
  return Created::failed;
}

bool write_file(std::intptr_t handle, std::string_view bytes, std::string& error) {
  const auto fd = static_cast<int>(handle);
  errno = 0;
  const std::size_t done = write_all(bytes, [fd](const char* data, std::size_t count) -> ssize_t {
    for (;;) {
      const ssize_t put = ::write(fd, data, count);
      if (put >= 0 || errno != EINTR) return put;
    }
  });
  if (done == bytes.size()) return true;
  error = errno == 0 ? "short write" : errno_text();
  return false;
}

void close_file(std::intptr_t handle) { ::close(static_cast<int>(handle)); }

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

bool count_files(const std::string& folder, std::string_view suffix, std::uint64_t limit, std::uint64_t& count,
                 std::string& error) {
  count = 0;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    error = errno_text();
    return false;
  }
  while (count < limit) {
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    const std::string_view name(entry->d_name);
    if (name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix) ++count;
  }
  ::closedir(dir);
  return true;
}

std::int64_t unix_time_microseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::uint64_t process_id() { return static_cast<std::uint64_t>(::getpid()); }

bool start_process() {
  // A reader that went away must not kill the program: writes just fail.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

void end_process(int exit_code) { std::exit(exit_code); }

}  // namespace cgiecho::platform
