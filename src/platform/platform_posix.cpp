// The operating system as the Linux build sees it. Standard input and output
// are file descriptors 0 and 1; the environment is exact-case.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cgiecho/platform/platform.h>

#include "platform/processes.h"
#include "platform/narrow.h"
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
// The folder the process started in, against which a relative argv[0]
// names the program; "" when it could not be read or was not needed.
char g_start_folder[4096];

// Whether start_program_path can need the start folder: for an argv[0]
// with a "/" but not at its front, or for a bare name when PATH holds a
// relative folder ("" is "."). A web server starts its programs by an
// absolute path, or by a bare name with an absolute PATH, so a CGI start
// does not ask for the folder.
bool start_folder_needed(const char* name, const char* path) {
  if (name == nullptr || name[0] == '\0' || name[0] == '/') return false;
  if (std::strchr(name, '/') != nullptr) return true;
  // The folders as start_program_path walks them: an empty one (but after
  // the last ":") is ".".
  for (std::string_view dirs(path != nullptr ? path : ""); !dirs.empty();) {
    if (dirs.front() != '/') return true;
    dirs.remove_prefix(std::min(dirs.find(':'), dirs.size() - 1) + 1);
  }
  return false;
}

void remember_arguments(int argc, char** argv, char**) {
  g_argc = argc;
  g_argv = argv;
  if (argc >= 1 && start_folder_needed(argv[0], std::getenv("PATH")) &&
      ::getcwd(g_start_folder, sizeof g_start_folder) == nullptr)
    g_start_folder[0] = '\0';
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
  return process_env(name);
}

std::string process_env(std::string_view name) {
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

Read read_input(char* buffer, std::size_t count) {
  if (g_channel != nullptr) return g_channel->read(buffer, count);
  const ssize_t got = when_ready(STDIN_FILENO, POLLIN, [&] { return ::read(STDIN_FILENO, buffer, count); });
  if (got > 0) return {static_cast<std::size_t>(got), false};
  // A closed standard input is no input at all, as an empty one.
  return {0, got < 0 && errno != EBADF};
}

std::size_t read_stdin(char* buffer, std::size_t count) { return read_input(buffer, count).size; }

bool write_output(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  return write_all(bytes, [](const char* data, std::size_t count) {
           return when_ready(STDOUT_FILENO, POLLOUT, [&] { return ::write(STDOUT_FILENO, data, count); });
         }) == bytes.size();
}

void write_stdout(std::string_view bytes) { (void)write_output(bytes); }

bool start_process() {
  // A reader that went away must not kill the program: writes just fail.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

void end_process(int exit_code) { std::exit(exit_code); }

namespace {

// Room of a quarter of a large page or more comes in whole large pages.
// The kernel places such a mapping on a large-page boundary, so all of it
// can be filled with large pages: one fault per 2 MiB instead of 512.
// Measured on a body read from a file, that pays from 512 KiB on (about
// 0.2 ms of 1.8 ms a request), not at 256 KiB.
constexpr std::size_t kLargePage = std::size_t{2} << 20;
constexpr std::size_t kLargeFrom = kLargePage / 4;

std::size_t room_bytes(std::size_t size) {
  if (size < kLargeFrom) return size;  // the kernel rounds to pages
  return (size + kLargePage - 1) / kLargePage * kLargePage;
}

// Only advice: where the kernel offers no large pages, small ones serve.
void advise_large_pages(void* room, std::size_t bytes) {
  if (bytes >= kLargePage) ::madvise(room, bytes, MADV_HUGEPAGE);
}

}  // namespace

char* take_room(std::size_t size) {
  const std::size_t bytes = room_bytes(size);
  void* room = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (room == MAP_FAILED) return nullptr;
  advise_large_pages(room, bytes);
  return static_cast<char*>(room);
}

// The kernel moves the page tables to wherever the larger room fits: no
// byte is copied, and pages never touched stay untouched.
char* grow_room(char* room, std::size_t size, std::size_t new_size) {
  const std::size_t bytes = room_bytes(new_size);
  void* grown = ::mremap(room, room_bytes(size), bytes, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) return nullptr;
  advise_large_pages(grown, bytes);
  return static_cast<char*>(grown);
}

void give_back_room(char* room, std::size_t size) { ::munmap(room, room_bytes(size)); }

}  // namespace cgiecho::platform

// ---- Temp files for uploads ------------------------------------------------
#include <sys/stat.h>

#include <string>

namespace cgiecho::platform {
namespace {

// The process's own TMPDIR: under FastCGI a request must not pick where
// the responder writes.
std::string temp_folder() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/tmp");
}

// Every byte, or false; `done` counts what went out either way.
bool write_fd(int fd, const char* data, std::size_t count, std::uint64_t& done) {
  while (count > 0) {
    const ssize_t put = ::write(fd, data, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    count -= static_cast<std::size_t>(put);
    done += static_cast<std::uint64_t>(put);
  }
  return true;
}

// A path the system can take: NUL would end it early, and then name
// another file than the one asked for.
bool usable_path(std::string_view path) { return !path.empty() && path.find('\0') == std::string_view::npos; }

// The failing call's errno, or `fallback` where it set none (a write
// that put nothing without saying why).
int error_or(int fallback) { return errno != 0 ? errno : fallback; }

// A new file `name` relative to `dir` (AT_FDCWD: `name` is a path), never
// one that is there and never through a link there.
int create_new_at(int dir, const std::string& name) {
  for (;;) {
    const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// The folder as given, links in its path followed, opened only to make
// files relative to it (O_PATH needs no right to list it).
int open_folder(const std::string& folder) {
  for (;;) {
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// Fills a file made by create_new_at with what `fill(out)` writes (false:
// failed, errno set), closes it, and removes it again when anything failed.
template <class Fill>
FileResult fill_new(int dir, const std::string& name, Fill&& fill) {
  const int out = create_new_at(dir, name);
  if (out < 0) return {errno};
  errno = 0;
  int error = fill(out) ? 0 : error_or(EIO);
  if (::close(out) != 0 && error == 0) error = errno;
  if (error != 0) ::unlinkat(dir, name.c_str(), 0);
  return {error};
}

// `make(dir, name)` inside `folder`, opened once.
template <class Make>
FileResult in_folder(std::string_view folder, std::string_view name, Make&& make) noexcept {
  if (!usable_path(folder) || !plain_file_name(name)) return {EINVAL};
  try {
    struct Folder {
      int fd;
      ~Folder() {
        if (fd >= 0) ::close(fd);
      }
    } dir{open_folder(std::string(folder))};  // closed on every way out
    if (dir.fd < 0) return {errno};
    return make(dir.fd, std::string(name));
  } catch (...) {
    return {ENOMEM};
  }
}

FileResult write_new_at(int dir, const std::string& name, std::string_view bytes) {
  return fill_new(dir, name, [bytes](int out) {
    std::uint64_t put = 0;
    return write_fd(out, bytes.data(), bytes.size(), put);
  });
}

}  // namespace

bool TempFile::create() noexcept {
  close();
  try {
    const std::string dir = temp_folder();
    int fd = -1;
#ifdef O_TMPFILE
    // Without O_EXCL, so that keep_as can link it.
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      handle_ = fd;
      linkable_ = true;
      return true;
    }
    // Only a file system without O_TMPFILE earns the named fallback.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
#endif
    std::string name = dir + "/cgiecho-upload-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);  // O_EXCL and mode 0600
    if (fd < 0) return false;
    ::unlink(name.c_str());
    handle_ = fd;
    linkable_ = false;
    return true;
  } catch (...) {
    return false;
  }
}

bool TempFile::write(std::string_view bytes) noexcept {
  return handle_ != kNone && write_fd(static_cast<int>(handle_), bytes.data(), bytes.size(), size_);
}

bool TempFile::read_at(std::uint64_t offset, char* buffer, std::size_t count, std::size_t& got) const noexcept {
  got = 0;
  if (handle_ == kNone) return false;
  while (got < count && offset + got < size_) {
    const ssize_t n = ::pread(static_cast<int>(handle_), buffer + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

FileResult TempFile::keep_at(std::intptr_t dir_handle, const std::string& name) const {
  const int dir = static_cast<int>(dir_handle);
  const int fd = static_cast<int>(handle_);
  if (linkable_) {
#ifdef AT_EMPTY_PATH
    // Needs CAP_DAC_READ_SEARCH; the /proc name below works for anyone.
    // linkat never follows nor replaces a link at the new name.
    if (::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return {};
    if (errno == EEXIST) return {EEXIST};
#endif
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return {};
    if (errno == EEXIST) return {EEXIST};
    // Another file system, or no /proc: the bytes are copied.
  }
  std::string chunk(std::size_t{1} << 16, '\0');
  return fill_new(dir, name, [&](int out) {
    for (std::uint64_t at = 0; at < size_;) {
      std::size_t got = 0;
      std::uint64_t put = 0;
      errno = 0;
      if (!read_at(at, chunk.data(), chunk.size(), got) || got == 0 || !write_fd(out, chunk.data(), got, put))
        return false;
      at += got;
    }
    return true;
  });
}

FileResult TempFile::keep_as(std::string_view path) const noexcept {
  if (handle_ == kNone || !usable_path(path)) return {EINVAL};
  try {
    return keep_at(AT_FDCWD, std::string(path));
  } catch (...) {
    return {ENOMEM};
  }
}

FileResult TempFile::keep_in(std::string_view folder, std::string_view name) const noexcept {
  if (handle_ == kNone) return {EINVAL};
  return in_folder(folder, name, [this](int dir, const std::string& n) { return keep_at(dir, n); });
}

void TempFile::close() noexcept {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
  handle_ = kNone;
  size_ = 0;
  linkable_ = false;
}

FileResult write_new_file(std::string_view path, std::string_view bytes) noexcept {
  if (!usable_path(path)) return {EINVAL};
  try {
    return write_new_at(AT_FDCWD, std::string(path), bytes);
  } catch (...) {
    return {ENOMEM};
  }
}

FileResult write_new_file_in(std::string_view folder, std::string_view name, std::string_view bytes) noexcept {
  return in_folder(folder, name, [bytes](int dir, const std::string& n) { return write_new_at(dir, n, bytes); });
}

}  // namespace cgiecho::platform

// ---- Files a program keeps, and random ids -----------------------------------
#include <sys/random.h>

namespace cgiecho::platform {

bool random_bytes(char* out, std::size_t count) noexcept {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::getrandom(out + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == count) return true;
  // A kernel older than getrandom (or a filter that refuses it).
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < count) {
    const ssize_t n = ::read(fd, out + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return got == count;
}

bool is_folder(std::string_view path) noexcept {
  if (!usable_path(path)) return false;
  try {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  } catch (...) {
    return false;
  }
}

FileRead read_file(std::string_view path, std::uint64_t max, std::string& out) noexcept {
  if (!usable_path(path)) return FileRead::failed;
  try {
    const int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? FileRead::missing : FileRead::failed;
    std::string text;
    char chunk[16384];
    bool ok = true;
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) break;
      if (n < 0 || text.size() + static_cast<std::size_t>(n) > max) {
        ok = false;
        break;
      }
      text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) return FileRead::failed;
    out = std::move(text);
    return FileRead::ok;
  } catch (...) {
    return FileRead::failed;
  }
}

std::vector<std::string> start_arguments() {
  std::vector<std::string> all;
  for (int i = 0; g_argv != nullptr && i < g_argc && g_argv[i] != nullptr; ++i) all.emplace_back(g_argv[i]);
  return all;
}

std::string start_program_path() {
  if (g_argv == nullptr || g_argc < 1 || g_argv[0] == nullptr || g_argv[0][0] == '\0') return {};
  const std::string name(g_argv[0]);
  if (name.front() == '/') return name;
  if (name.find('/') != std::string::npos) return g_start_folder[0] == '\0' ? std::string() : std::string(g_start_folder) + "/" + name;
  // A bare name: found along PATH as the shell that started it found it.
  const char* path = std::getenv("PATH");
  for (std::string_view dirs(path != nullptr ? path : ""); !dirs.empty();) {
    const std::size_t colon = std::min(dirs.find(':'), dirs.size());
    std::string folder(dirs.substr(0, colon));
    dirs.remove_prefix(std::min(colon + 1, dirs.size()));
    if (folder.empty()) folder = ".";
    if (folder.front() != '/') {
      if (g_start_folder[0] == '\0') continue;
      folder = std::string(g_start_folder) + "/" + folder;
    }
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace cgiecho::platform
