// Files a program writes for itself (captures of requests), standard error,
// the clock and the process id, as the Linux build sees them.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cgiecho/platform/platform.h>

#include "platform/write_all.h"

namespace cgiecho::platform {
namespace {

std::string errno_text() { return std::strerror(errno); }

// All the bytes to `fd`; how many went, with errno set by the failing call.
std::size_t write_fd(int fd, std::string_view bytes) {
  errno = 0;
  return write_all(bytes, [fd](const char* data, std::size_t count) -> ssize_t {
    for (;;) {
      const ssize_t put = ::write(fd, data, count);
      if (put >= 0 || errno != EINTR) return put;
    }
  });
}

}  // namespace

void write_stderr(std::string_view bytes) { write_fd(STDERR_FILENO, bytes); }

std::string program_name() { return program_invocation_short_name; }

bool stderr_is_answer() { return false; }

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
  if (write_fd(static_cast<int>(handle), bytes) == bytes.size()) return true;
  error = errno == 0 ? "nothing more could be written" : errno_text();
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

bool file_time(const std::string& path, std::int64_t& unix_microseconds) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  unix_microseconds = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
  return true;
}

std::int64_t unix_time_microseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::uint64_t process_id() { return static_cast<std::uint64_t>(::getpid()); }

}  // namespace cgiecho::platform
