// A FastCGI responder's own listener on POSIX: a socket put on descriptor 0,
// where web servers and spawn-fcgi hand theirs over.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include <cgiecho/platform/platform.h>

#include "platform/listener.h"
#include "platform/accounts.h"
#include "platform/processes.h"
#include "text/ascii.h"

namespace cgiecho::platform {
namespace {

std::string failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Binds, listens and moves the socket to descriptor 0. `listening`, when
// given, runs once the socket listens, before it is moved; its failure
// closes the socket.
template <class Listening>
std::string listen_and_take(int fd, const sockaddr* address, socklen_t size, int backlog, Listening listening) {
  if (::bind(fd, address, size) != 0 || ::listen(fd, backlog) != 0) {
    const std::string why = failure("cannot listen there");
    ::close(fd);
    return why;
  }
  if (const std::string why = listening(); !why.empty()) {
    ::close(fd);
    return why;
  }
  if (fd != 0) {
    if (::dup2(fd, 0) < 0) {
      const std::string why = failure("cannot put the listener on standard input");
      ::close(fd);
      return why;
    }
    ::close(fd);
  }
  return {};
}

}  // namespace

std::string listen_on_tcp(const std::string& host, int port, int backlog) {
  const auto nothing = [] { return std::string(); };
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const bool is_v4 = ::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1;
  if (!is_v4 && ::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) != 1) {
    return "not an IPv4 or IPv6 address (host names are not looked up)";
  }
  const int fd = ::socket(is_v4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failure("no socket");
  const int one = 1;
  // A restarted responder takes its port back while old connections linger.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (is_v4) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    return listen_and_take(fd, reinterpret_cast<const sockaddr*>(&v4), sizeof v4, backlog, nothing);
  }
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);  // that address, not IPv4 too
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(static_cast<std::uint16_t>(port));
  return listen_and_take(fd, reinterpret_cast<const sockaddr*>(&v6), sizeof v6, backlog, nothing);
}

std::string listen_on_path(const std::string& path, int backlog, unsigned mode, const std::string& group) {
  unsigned gid = 0;
  if (!group.empty() && !find_group(group, gid)) return "no such group: " + group;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return "the path is too long for a socket";
  std::memcpy(address.sun_path, path.data(), path.size());
  // Only a socket left by a responder that ended is replaced: a file is
  // never removed, nor a socket someone still listens on.
  struct stat seen {};
  const bool stale = ::lstat(path.c_str(), &seen) == 0;
  if (stale) {
    if (!S_ISSOCK(seen.st_mode)) return "something other than a socket is there";
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool taken = probe < 0 || ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                       errno != ECONNREFUSED;
    if (probe >= 0) ::close(probe);
    if (taken) return "another program listens there";
  }
  // The socket is made, given its group and mode, and set listening in a
  // folder of its own beside the path, which no other user may enter, then
  // renamed into place: no name in the socket's folder is ever changed by
  // name, so another user who may write there cannot swap the new socket
  // for a link to a file whose owner or mode would be changed instead, and
  // the socket appears at its path already with its final mode and group.
  const std::size_t slash = path.rfind('/');
  std::string own_folder = (slash == std::string::npos ? "." : path.substr(0, slash)) + "/.cgiecho-XXXXXX";
  if (::mkdtemp(own_folder.data()) == nullptr) return failure("cannot make a private folder beside the socket");
  const int folder = ::open(own_folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) {
    const std::string why = failure("cannot open the private folder beside the socket");
    ::rmdir(own_folder.c_str());
    return why;
  }
  // Bound through the folder's descriptor where /proc is there, so that a
  // folder put at its name since cannot redirect it.
  std::string inside = "/proc/self/fd/" + std::to_string(folder) + "/socket";
  if (::access("/proc/self/fd", X_OK) != 0) inside = own_folder + "/socket";
  const auto into_place = [&]() -> std::string {
    if (!group.empty() &&
        ::fchownat(folder, "socket", static_cast<uid_t>(-1), static_cast<gid_t>(gid), AT_SYMLINK_NOFOLLOW) != 0)
      return failure("cannot give the socket its group");
    if (::fchmodat(folder, "socket", static_cast<mode_t>(mode), 0) != 0)
      return failure("cannot give the socket its mode");
    // Never over something that took a free path since it was looked at.
    if (::renameat2(folder, "socket", AT_FDCWD, path.c_str(), stale ? 0 : RENAME_NOREPLACE) == 0) return {};
    // A file system that cannot rename so: a link never replaces either.
    if (!stale && errno == EINVAL && ::linkat(folder, "socket", AT_FDCWD, path.c_str(), 0) == 0) return {};
    return failure("cannot put the socket at its path");
  };
  struct stat made {};
  sockaddr_un bound{};
  bound.sun_family = AF_UNIX;
  std::string why;
  if (::fstat(folder, &made) != 0 || made.st_uid != ::geteuid() || (made.st_mode & 077) != 0) {
    why = "the private folder beside the socket was replaced";  // not the one just made: left alone
  } else if (inside.size() >= sizeof bound.sun_path) {
    why = "the path is too long for a socket";
  } else {
    std::memcpy(bound.sun_path, inside.data(), inside.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    why = fd < 0 ? failure("no socket")
                 : listen_and_take(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound, backlog, into_place);
    ::unlinkat(folder, "socket", 0);  // there after a failure, or after the link
    ::rmdir(own_folder.c_str());
  }
  ::close(folder);
  return why;
}

int move_listener_off_stdin() {
  const int listener = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (listener < 0) return -1;
  // Descriptor 0 stays taken, so that nothing opened later lands there and
  // is read as standard input by a program a handler starts.
  const int none = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (none < 0 || ::dup2(none, STDIN_FILENO) < 0) {
    const int error = errno;
    if (none >= 0) ::close(none);
    ::close(listener);
    errno = error;
    return -1;
  }
  ::close(none);
  return listener;
}

void close_other_descriptors() {
  if (::close_range(3, ~0U, 0) == 0) return;
  // A kernel before 5.9, or a filter that refuses the call: one at a time.
  const long limit = ::sysconf(_SC_OPEN_MAX);
  for (long fd = 3; fd < (limit > 0 ? limit : 1024); ++fd) ::close(static_cast<int>(fd));
}

}  // namespace cgiecho::platform
