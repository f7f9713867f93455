// FastCGI through libfcgi: the records are the library's; this file puts
// each request behind the platform seam and decides which connection is
// served next.
#include <fastcgi.h>
#include <fcgiapp.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>

#include "platform/listener.h"
#include "platform/accounts.h"
#include "platform/processes.h"
#include "platform/diagnostics.h"
#include "serve/pool.h"
#include "serve/pool_settings.h"
#include "serve/request_channel.h"
#include "serve/responder.h"
#include "text/ascii.h"

namespace cgiecho {
namespace {

volatile std::sig_atomic_t g_stopping = 0;
// The loop serves: the listener has left standard input.
bool g_serving = false;

void on_terminate(int) { g_stopping = 1; }

// SIGTERM is how a web server ends its responders (lighttpd does), and
// SIGUSR1 asks a libfcgi responder the same: the request in hand still
// gets its whole answer, then the loop ends. Both are installed after
// libfcgi's start-up, whose own SIGUSR1 handler would let a read in hand
// fail. Both stay blocked except while the loop waits in ppoll() for a
// connection or a request: delivered during a request they would interrupt
// the reads of its body or the writes of its page, and libfcgi takes an
// interrupted call for a broken connection. SA_RESTART as well, so that a
// call they interrupt while unblocked is restarted, never failed. A client
// that went away must cost its request only, so SIGPIPE is ignored.
// Returns the signal mask for the waits. A worker of a pool ignores SIGHUP
// and SIGINT: a terminal sends them to the whole process group, and the
// master, which reloads or stops on them, tells each worker what to do.
sigset_t install_signal_handlers(bool worker) {
  struct sigaction stop_action;
  std::memset(&stop_action, 0, sizeof stop_action);
  stop_action.sa_handler = on_terminate;
  stop_action.sa_flags = SA_RESTART;
  sigemptyset(&stop_action.sa_mask);
  struct sigaction ignore_action = stop_action;
  ignore_action.sa_handler = SIG_IGN;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGUSR1);
  stop_action.sa_mask = stop;
  sigset_t waiting;
  if (sigaction(SIGTERM, &stop_action, nullptr) != 0 || sigaction(SIGUSR1, &stop_action, nullptr) != 0 ||
      sigaction(SIGPIPE, &ignore_action, nullptr) != 0 || sigprocmask(SIG_BLOCK, &stop, &waiting) != 0)
    give_up("cannot set up its signals", errno);
  if (worker && (sigaction(SIGHUP, &ignore_action, nullptr) != 0 || sigaction(SIGINT, &ignore_action, nullptr) != 0))
    give_up("cannot set up its signals", errno);
  sigdelset(&waiting, SIGTERM);
  sigdelset(&waiting, SIGUSR1);
  return waiting;
}

// Standard input must be a socket that listens. Made non-blocking: the
// loop accepts when poll says a connection waits, and one that went away
// meanwhile must not block the loop in accept().
void prepare_listener(int fd) {
  int listening = 0;
  socklen_t size = sizeof listening;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0)
    give_up("standard input is not a listening socket", errno);
  if (listening == 0) give_up("standard input is a socket that does not listen");
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    give_up("cannot make the listening socket non-blocking", errno);
}

// An address as the listener check and the filter below compare it: IPv4
// as its 4 bytes, also when an IPv6 socket shows an IPv4 client as
// ::ffff:a.b.c.d; IPv6 as its 16.
std::string_view address_bytes(const in_addr& v4) { return {reinterpret_cast<const char*>(&v4), sizeof v4}; }
std::string_view address_bytes(const in6_addr& v6) {
  const std::string_view all(reinterpret_cast<const char*>(v6.s6_addr), sizeof v6.s6_addr);
  return IN6_IS_ADDR_V4MAPPED(&v6) ? all.substr(12) : all;
}

// A listener on TCP that other hosts can reach is said on standard error
// (warn_if_reachable); a Unix socket is guarded by its file's permissions.
void warn_if_reachable_listener(int fd) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  std::string_view bytes;
  std::string shown;
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    bytes = address_bytes(v4.sin_addr);
    shown = std::string(inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) ? text : "?") + ":" +
            std::to_string(ntohs(v4.sin_port));
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    bytes = address_bytes(v6.sin6_addr);
    shown = "[" + std::string(inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) ? text : "?") + "]:" +
            std::to_string(ntohs(v6.sin6_port));
  } else {
    return;
  }
  warn_if_reachable(bytes, shown);
}

// One connection from the web server, as libfcgi keeps it.
struct Connection {
  // As a kept connection: FCGX_Accept_r first finishes the request before,
  // and would close a connection that it did not know to keep. No listening
  // socket: libfcgi never accepts.
  Connection(int fd, unsigned long long now) : idle_since(now) {
    FCGX_InitRequest(&request, -1, 0);
    request.ipcFd = fd;
    request.keepConnection = 1;
  }
  // Closed at once: libfcgi's own close waits up to two seconds for the
  // server to close its end first.
  ~Connection() {
    FCGX_Free(&request, 0);
    if (request.ipcFd >= 0) close(request.ipcFd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  FCGX_Request request;
  unsigned long long idle_since;  // when it was taken or last served, on the set's clock
  std::chrono::steady_clock::time_point taken = std::chrono::steady_clock::now();
  bool served = false;            // a request came on it already
};

// In a pool's worker, the request is counted in the shared figures, and
// the status page is answered here instead of by the program.
void serve_request(Connection& connection, const std::function<void()>& handle, pool::Worker* worker) {
  FCGX_Request& request = connection.request;
  // Reads this connection's next request; -1 when it closed or sent bytes
  // that are not FastCGI records (libfcgi then closes it).
  if (FCGX_Accept_r(&request) < 0) return;
  RequestChannel channel(request, RequestChannel::Names::exact);
  pool::Worker::serve(channel, handle, worker);
  drain_input(request);
  FCGX_Finish_r(&request);  // closes the connection unless the server keeps it
  if (worker != nullptr) worker->end();
}

// FCGI_WEB_SERVER_ADDRS, the comma-separated IPv4 and IPv6 addresses that
// may connect over TCP; unset, any may. A peer that matches no listed
// address is refused, whatever its family. A Unix socket's peer has no
// address: the socket file's permissions guard it.
bool web_server_allowed(const sockaddr_storage& peer) {
  if (peer.ss_family == AF_UNIX) return true;
  const char* allowed = std::getenv("FCGI_WEB_SERVER_ADDRS");
  if (allowed == nullptr) return true;
  std::string_view seen;
  if (peer.ss_family == AF_INET) {
    seen = address_bytes(reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
  } else if (peer.ss_family == AF_INET6) {
    seen = address_bytes(reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr);
  } else {
    return false;
  }
  for (std::string_view list(allowed); !list.empty();) {
    const std::size_t comma = std::min(list.find(','), list.size());
    const std::string_view entry = text::trim_blanks(list.substr(0, comma));
    list.remove_prefix(std::min(comma + 1, list.size()));
    const std::string address(entry);
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1 && address_bytes(v4) == seen) return true;
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1 && address_bytes(v6) == seen) return true;
  }
  return false;
}

// Plenty for any server's pool; past it a connection is closed, as a
// server closes idle ones of its own.
constexpr std::size_t kMaxConnections = 256;
// How long the listening socket is left alone when no connection can be
// taken, unless a connection closes first.
constexpr std::time_t kAcceptPauseSeconds = 1;
// How long a pool's worker waits for the first request of the connection
// it took before it takes another.
constexpr long kFreshWaitMs = 1000;

// The connections from the web server and the listening socket they come
// from. A server that keeps connections (FCGI_KEEP_CONN: nginx's
// fastcgi_keep_conn, Apache's enablereuse) may hold several open to one
// responder and send the next request on any of them, so the loop must not
// wait on one connection while another has a request: it waits on all of
// them and the listening socket at once, and hands libfcgi only a
// connection that has bytes to read. libfcgi's own accept() would block the
// whole loop on one listening socket.
//
// In a pool, every worker waits on the same listening socket: a worker
// takes one connection per round, so that a connection waits for a worker
// that is free rather than queue behind the request in another's hands.
class ConnectionSet {
 public:
  ConnectionSet(int listener, bool one_per_round) : listener_(listener), one_per_round_(one_per_round) {}

  // Waits for a connection to take or a request to read, with `mask` as the
  // signal mask meanwhile. False when the wait failed: errno says why
  // (EINTR for a signal).
  bool wait(const sigset_t& mask) {
    const long fresh_ms = fresh_left_ms();
    const bool listen = !paused_ && fresh_ms == 0;
    polled_.assign(1, pollfd{listener_, static_cast<short>(listen ? POLLIN : 0), 0});
    for (const auto& c : connections_) polled_.push_back(pollfd{c->request.ipcFd, POLLIN, 0});
    const timespec pause_for = fresh_ms > 0 ? timespec{fresh_ms / 1000, (fresh_ms % 1000) * 1000000L}
                                            : timespec{kAcceptPauseSeconds, 0};
    const int ready = ppoll(polled_.data(), polled_.size(), listen ? nullptr : &pause_for, &mask);
    if (ready == 0 && paused_) resume();
    return ready >= 0;
  }

  // After a wait: whether the listening socket failed.
  bool listener_failed() const { return (polled_[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0; }
  std::size_t size() const { return connections_.size(); }
  // After a wait: whether connection i has a request, or its end, to read.
  bool ready(std::size_t i) const { return polled_[i + 1].revents != 0; }
  Connection& operator[](std::size_t i) { return *connections_[i]; }
  // Connection i is idle from now.
  void served(std::size_t i) {
    connections_[i]->idle_since = ++clock_;
    connections_[i]->served = true;
  }

  // Once the loop takes no more connections: waits up to `timeout_ms` on
  // the connections held, and not on the listening socket, which other
  // processes of a pool go on serving. False as wait.
  bool wait_held(int timeout_ms, const sigset_t& mask) {
    polled_.assign(1, pollfd{-1, 0, 0});
    for (const auto& c : connections_) polled_.push_back(pollfd{c->request.ipcFd, POLLIN, 0});
    const timespec wait_for{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return ppoll(polled_.data(), polled_.size(), &wait_for, &mask) >= 0;
  }

  // Closes the connections that libfcgi closed and those that a request
  // came on already; with `keep_waiting`, not those of the latter that
  // have bytes to read now (a request on its way).
  void drop_served(bool keep_waiting) {
    std::vector<pollfd> check;
    for (const auto& c : connections_) check.push_back(pollfd{c->request.ipcFd, POLLIN, 0});
    if (keep_waiting && poll(check.data(), check.size(), 0) < 0) return;
    std::size_t i = 0;
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [&](const auto& c) {
                                        const bool waiting = keep_waiting && check[i++].revents != 0;
                                        return c->request.ipcFd < 0 || (c->served && !waiting);
                                      }),
                       connections_.end());
  }

  // In a pool's worker: how much longer the connection it took last may
  // take to send its first request before the worker takes another (0:
  // none waits). A web server sends its request as it connects; a client
  // that connects and says nothing must not keep the worker from the
  // listener for long.
  long fresh_left_ms() const {
    if (!one_per_round_ || connections_.empty() || connections_.back()->served) return 0;
    const auto waited = std::chrono::steady_clock::now() - connections_.back()->taken;
    return std::max<long>(0, kFreshWaitMs - static_cast<long>(
                                                std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
  }

  // After a round: drops the connections libfcgi closed, then takes the
  // ones waiting on the listening socket.
  void update() {
    const std::size_t before = connections_.size();
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [](const auto& c) { return c->request.ipcFd < 0; }),
                       connections_.end());
    if (connections_.size() < before) resume();
    if (!paused_ && fresh_left_ms() == 0 && (retry_ || (polled_[0].revents & POLLIN) != 0)) take_waiting();
    retry_ = false;
  }

 private:
  void take_waiting() {
    for (;;) {
      sockaddr_storage peer{};
      socklen_t size = sizeof peer;
      const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // none waiting: the socket does not block
        if (errno == ECONNABORTED || errno == EINTR) continue;  // that one went away
        // Out of descriptors or memory, or a failure of its own: the socket
        // stays readable, and waiting on it again at once would spin.
        paused_ = true;
        return;
      }
      if (!web_server_allowed(peer)) {
        close(fd);
        continue;
      }
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
      connections_.push_back(std::make_unique<Connection>(fd, ++clock_));
      // Every connection holds a request: none is closed, and no more are
      // taken until one is done.
      if (connections_.size() > kMaxConnections && !close_idle()) {
        paused_ = true;
        return;
      }
      if (one_per_round_) return;
    }
  }

  // Closes a connection whose client has gone, else the connection idle
  // the longest that has no request in hand (no bytes waiting). One just
  // taken may hold its first request already: it has been idle the
  // shortest, and its bytes are seen. A client that closed its end makes
  // its connection readable too, so its going is looked for first: such a
  // connection must not count as one with a request in hand while a live
  // one is closed in its place.
  static bool gone(const pollfd& p) {
    if ((p.revents & (POLLHUP | POLLERR)) != 0) return true;
    // Closed for writing only: gone unless it sent a request first.
    int waiting = 0;
    return (p.revents & POLLRDHUP) != 0 && ioctl(p.fd, FIONREAD, &waiting) == 0 && waiting == 0;
  }

  bool close_idle() {
    std::vector<pollfd> check;
    for (const auto& c : connections_) check.push_back(pollfd{c->request.ipcFd, POLLIN | POLLRDHUP, 0});
    if (poll(check.data(), check.size(), 0) < 0) return false;
    std::size_t pick = connections_.size();
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      if (gone(check[i])) {
        pick = i;
        break;
      }
      if (check[i].revents != 0) continue;
      if (pick == connections_.size() || connections_[i]->idle_since < connections_[pick]->idle_since) pick = i;
    }
    if (pick == connections_.size()) return false;
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(pick));
    return true;
  }

  // A connection closed or the pause ran out: the listening socket is
  // waited on, and tried, again.
  void resume() {
    if (paused_) retry_ = true;
    paused_ = false;
  }

  int listener_;
  bool one_per_round_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::vector<pollfd> polled_;  // the listening socket, then each connection in order
  unsigned long long clock_ = 0;
  bool paused_ = false;  // no connection can be taken now: the listening socket is left alone
  bool retry_ = false;   // the pause just ended
};

// How long a connection taken but not yet served may take to send its
// request once the loop takes no more: a web server sends it as soon as it
// connects.
constexpr int kLastRequestWaitMs = 1000;

// After the loop: no more connections are taken, and none is closed with a
// request on it. A connection that served already and has nothing to read
// is closed at once (the web server opens another, to another process);
// one just taken, or one with a request waiting, is answered first.
void finish_held(ConnectionSet& connections, const std::function<void()>& handle, pool::Worker* worker,
                 const sigset_t& mask) {
  connections.drop_served(true);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLastRequestWaitMs);
  while (connections.size() > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (!connections.wait_held(static_cast<int>(left.count()), mask)) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < connections.size(); ++i) {
      if (!connections.ready(i)) continue;
      serve_request(connections[i], handle, worker);
      connections.served(i);
    }
    connections.drop_served(false);
  }
}

// LISTEN_FDS and LISTEN_PID, as systemd's socket activation hands a socket
// over: one socket, descriptor 3, put on descriptor 0. Nothing when they
// are not for this process.
void take_activated_socket() {
  const std::string count = platform::process_env("LISTEN_FDS");
  const std::string pid = platform::process_env("LISTEN_PID");
  if (count.empty() || pid != std::to_string(::getpid())) return;
  if (count != "1") {
    platform::end_with_message("FastCGI responder: LISTEN_FDS=" + count +
                                   ": one socket only (a .socket unit with one ListenStream=)",
                               2);
  }
  if (dup2(3, 0) < 0) give_up("cannot put the activated socket on standard input", errno);
  close(3);
  // Not passed on to programs the handler starts, nor to workers.
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDNAMES");
}

// CGIECHO_LISTEN: the listener is opened here and put on descriptor 0, so
// the loop serves it as one a web server handed over, with the same checks
// and the same address filter. Unset, descriptor 0 is the server's (or
// systemd's).
void open_listener_from_environment(const PoolSettings& settings) {
  unsigned gid = 0;
  if (!settings.listen_group.empty() && !platform::find_group(settings.listen_group, gid))
    platform::end_with_message("FastCGI responder: CGIECHO_LISTEN_GROUP=" + settings.listen_group + ": no such group", 2);
  const std::string address = platform::process_env("CGIECHO_LISTEN");
  if (address.empty()) {
    take_activated_socket();
    return;
  }
  const ListenAddress where = checked_listen_address(address, ListenAddress::Kind::path, "a socket path");
  const int backlog = static_cast<int>(settings.backlog);
  const std::string failed =
      where.kind == ListenAddress::Kind::tcp
          ? platform::listen_on_tcp(where.host, where.port, backlog)
          : platform::listen_on_path(address, backlog, settings.listen_mode, settings.listen_group);
  if (!failed.empty()) give_up("CGIECHO_LISTEN=" + address + ": " + failed);
}

}  // namespace

// libfcgi's own rule (FCGX_IsCGI): standard input is a socket that is not
// connected, i.e. one that listens. Asked here rather than through
// FCGX_IsCGI, which first initialises the library, and that takes over
// SIGTERM, SIGUSR1 and SIGPIPE: a CGI program must still end on SIGTERM,
// and should not pay seven system calls for the question.
// CGIECHO_LISTEN makes a responder of any start.
// So does a socket that systemd hands over (LISTEN_PID this process).
// Once the loop serves, standard input is /dev/null and the answer stays.
bool started_as_fastcgi() {
  if (g_serving || !platform::process_env("CGIECHO_LISTEN").empty()) return true;
  if (!platform::process_env("LISTEN_FDS").empty() &&
      platform::process_env("LISTEN_PID") == std::to_string(::getpid()))
    return true;
  sockaddr_storage address;
  socklen_t length = sizeof address;
  return ::getpeername(0, reinterpret_cast<sockaddr*>(&address), &length) != 0 && errno == ENOTCONN;
}

void serve(const std::function<void()>& handle) {
  if (!started_as_fastcgi()) {
    serve_once(handle);
    return;
  }
  const PoolSettingsRead read = read_pool_settings([](std::string_view name) { return platform::process_env(name); });
  if (!read.error.empty()) platform::end_with_message("FastCGI responder: " + read.error, 2);
  const PoolSettings& settings = read.settings;
  // A worker of a pool finds its listener where the master left it.
  const std::unique_ptr<pool::Worker> worker = pool::Worker::from_environment(settings);
  if (worker == nullptr) {
    const pool::Identity who = pool::checked_identity(settings);
    open_listener_from_environment(settings);
    prepare_listener(FCGI_LISTENSOCK_FILENO);
    warn_if_reachable_listener(FCGI_LISTENSOCK_FILENO);
    if (settings.workers > 0) {
      pool::run_master(settings, who, {}, false);
      return;
    }
    // What root's launcher left open (a shell's 9<file) must not stay open
    // to the user, nor to the programs its handlers start.
    if (who.change) platform::close_other_descriptors();
    pool::become(who);
  }
  // Off descriptor 0 and closed on exec, in a worker too: a program that a
  // handler starts must not take connections from it.
  const int listener = platform::move_listener_off_stdin();
  if (listener < 0) give_up("cannot move the listening socket off standard input", errno);
  g_serving = true;
  // After the library's start-up, which installs handlers of its own.
  if (FCGX_Init() != 0) give_up("libfcgi cannot start");
  const sigset_t waiting_mask = install_signal_handlers(worker != nullptr);
  if (worker != nullptr) worker->ready();
  ConnectionSet connections(listener, worker != nullptr);
  while (!g_stopping && !(worker != nullptr && worker->leave())) {
    if (!connections.wait(waiting_mask)) {
      if (errno == EINTR) continue;  // SIGTERM or SIGUSR1: the loop condition ends it
      give_up("cannot wait for connections", errno);
    }
    if (connections.listener_failed()) give_up("the listening socket failed");
    // One request from each connection that has one, in turn, so that a
    // busy connection cannot keep the others waiting.
    for (std::size_t i = 0; i < connections.size(); ++i) {
      if (!connections.ready(i)) continue;
      serve_request(connections[i], handle, worker.get());
      connections.served(i);
    }
    connections.update();
  }
  finish_held(connections, handle, worker.get(), waiting_mask);
  reset_request_state();
}

}  // namespace cgiecho
