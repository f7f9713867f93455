// A FastCGI responder's own listener on POSIX: a socket put on descriptor 0,
// where web servers and spawn-fcgi hand theirs over.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include <cgiecho/platform/listener.h>
#include <cgiecho/platform/platform.h>

namespace cgiecho::platform {
namespace {

std::string failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Binds, listens and moves the socket to descriptor 0. `made`, when given,
// runs between the two, while no connection can come yet.
template <class Made>
std::string listen_and_take(int fd, const sockaddr* address, socklen_t size, int backlog, Made made) {
  if (::bind(fd, address, size) != 0) {
    const std::string why = failure("cannot listen there");
    ::close(fd);
    return why;
  }
  if (const std::string why = made(); !why.empty()) {
    ::close(fd);
    return why;
  }
  if (::listen(fd, backlog) != 0) {
    const std::string why = failure("cannot listen there");
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
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failure("no socket");
  // Only a socket left by a responder that ended is replaced: a file is
  // never removed, nor a socket someone still listens on.
  struct stat seen {};
  if (::lstat(path.c_str(), &seen) == 0) {
    if (!S_ISSOCK(seen.st_mode)) {
      ::close(fd);
      return "something other than a socket is there";
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool taken = probe < 0 || ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                       errno != ECONNREFUSED;
    if (probe >= 0) ::close(probe);
    if (taken) {
      ::close(fd);
      return "another program listens there";
    }
    ::unlink(path.c_str());
  }
  // Made with no access for anyone, then given its mode and group, so that
  // no one connects in between under a wider mode.
  const mode_t before = ::umask(0777);
  const auto made = [&]() -> std::string {
    ::umask(before);
    if (!group.empty() && ::chown(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0) {
      const std::string why = failure("cannot give the socket its group");
      ::unlink(path.c_str());
      return why;
    }
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
      const std::string why = failure("cannot give the socket its mode");
      ::unlink(path.c_str());
      return why;
    }
    return {};
  };
  const std::string why = listen_and_take(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address, backlog, made);
  ::umask(before);
  return why;
}

void say_on_stderr(std::string_view message) {
  std::string line = std::string(program_invocation_short_name) + ": ";
  line += message;
  line += '\n';
  if (::write(STDERR_FILENO, line.data(), line.size()) < 0) {
    // Nowhere else to say it.
  }
}

void end_with_message(std::string_view message, int exit_code) {
  say_on_stderr(message);
  end_process(exit_code);  // the exit status says it too
}

}  // namespace cgiecho::platform
