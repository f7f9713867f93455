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
#include <sys/socket.h>
#include <unistd.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/listener.h"
#include "request/acquire.h"
#include "serve/listen_address.h"
#include "serve/serve.h"

namespace cgiecho {
namespace {

class RequestChannel final : public platform::Channel {
 public:
  explicit RequestChannel(FCGX_Request& request) : request_(request) {}

  std::string env(std::string_view name) override {
    const std::string key(name.substr(0, name.find('\0')));
    const char* value = FCGX_GetParam(key.c_str(), request_.envp);
    return value ? std::string(value) : std::string();
  }

  platform::Variables environment() override {
    platform::Variables all;
    for (char** entry = request_.envp; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      const std::size_t eq = text.find('=');
      if (eq != std::string_view::npos) all.emplace_back(text.substr(0, eq), text.substr(eq + 1));
    }
    return all;
  }

  // FCGX_GetStr waits for the whole count or the end of the input stream,
  // so a short read means the stream ended, as on a pipe.
  std::size_t read(char* buffer, std::size_t count) override {
    const int got = FCGX_GetStr(buffer, static_cast<int>(std::min<std::size_t>(count, INT_MAX)), request_.in);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }

  // Buffered into FastCGI records and sent in full when the request ends;
  // a client that went away makes the rest fail quietly, as a closed pipe.
  void write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const auto n = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
      if (FCGX_PutStr(bytes.data(), n, request_.out) != n) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  FCGX_Request& request_;
};

volatile std::sig_atomic_t g_stopping = 0;

// SIGTERM is how a web server ends its responders: the request in hand
// still gets its whole answer, then the loop ends. So SIGTERM stays blocked
// except while the loop waits in ppoll() for a connection or a request:
// delivered during a request it would interrupt the reads of its body or
// the writes of its page, and libfcgi takes an interrupted call for a
// broken connection. A client that went away must cost its request only,
// so SIGPIPE is ignored.
void on_terminate(int) { g_stopping = 1; }

void install_signal_handlers(sigset_t& waiting_mask) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_terminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t terminate;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  sigprocmask(SIG_BLOCK, &terminate, &waiting_mask);
  sigdelset(&waiting_mask, SIGTERM);
}

// What the handler left unread of the request's input. On a kept
// connection those records would otherwise be taken for the next request's,
// and libfcgi drops the connection with the next request on it; on any
// connection, a server still sending a body it was not asked for would see
// the connection closed under it.
void drain_input(FCGX_Request& request) {
  char sink[8192];
  while (FCGX_GetStr(sink, sizeof sink, request.in) > 0) {
  }
}

// One connection from the web server. A server that keeps connections
// (FCGI_KEEP_CONN: nginx's fastcgi_keep_conn, Apache's enablereuse) may
// hold several open to one responder and send the next request on any of
// them, so the loop must not wait on one connection while another has a
// request: it waits on all of them and the listening socket at once, and
// hands libfcgi only a connection that has bytes to read. libfcgi's own
// accept() would block the whole loop on one listening socket.
struct Connection {
  Connection() { FCGX_InitRequest(&request, -1, 0); }  // no listening socket: libfcgi never accepts
  // An idle connection closed at once: libfcgi's own close waits up to two
  // seconds for the server to close its end first.
  ~Connection() {
    FCGX_Free(&request, 0);
    if (request.ipcFd >= 0) close(request.ipcFd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  FCGX_Request request;
  unsigned long long last_used = 0;
};

// Plenty for any server's pool; past it the connection idle the longest
// is closed, as a server closes idle ones of its own.
constexpr std::size_t kMaxConnections = 256;

void serve_request(Connection& connection, const std::function<void()>& handle) {
  FCGX_Request& request = connection.request;
  // Reads this connection's next request; -1 when it closed or sent bytes
  // that are not FastCGI records (libfcgi then closes it).
  if (FCGX_Accept_r(&request) < 0) return;
  RequestChannel channel(request);
  platform::set_channel(&channel);
  serve_once(handle);
  platform::set_channel(nullptr);
  drain_input(request);
  FCGX_Finish_r(&request);  // closes the connection unless the server keeps it
}

// FCGI_WEB_SERVER_ADDRS, the comma-separated IPv4 addresses that may
// connect over TCP, as libfcgi's own accept() honours it; unset: any.
bool web_server_allowed(const sockaddr_storage& peer) {
  const char* allowed = std::getenv("FCGI_WEB_SERVER_ADDRS");
  if (allowed == nullptr || peer.ss_family != AF_INET) return true;
  char text[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text)) return false;
  const std::string list = std::string(",") + allowed + ",";
  return list.find(std::string(",") + text + ",") != std::string::npos;
}

void accept_connections(std::vector<std::unique_ptr<Connection>>& connections) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = accept4(FCGI_LISTENSOCK_FILENO, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) return;  // none waiting (the listening socket does not block), or gone
    if (!web_server_allowed(peer)) {
      close(fd);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
    if (connections.size() >= kMaxConnections) {
      auto idle = std::min_element(connections.begin(), connections.end(),
                                   [](const auto& a, const auto& b) { return a->last_used < b->last_used; });
      connections.erase(idle);
    }
    connections.push_back(std::make_unique<Connection>());
    // As a kept connection: FCGX_Accept_r first finishes the request before,
    // and would close a connection that it did not know to keep.
    connections.back()->request.ipcFd = fd;
    connections.back()->request.keepConnection = 1;
  }
}

}  // namespace

// libfcgi's own rule (FCGX_IsCGI): standard input is a socket that is not
// connected, i.e. one that listens. Asked here rather than through
// FCGX_IsCGI, which first initialises the library, and that takes over
// SIGTERM, SIGUSR1 and SIGPIPE: a CGI program must still end on SIGTERM,
// and should not pay seven system calls for the question.
bool started_as_fastcgi() {
  if (!platform::process_env("CGIECHO_LISTEN").empty()) return true;
  sockaddr_storage address;
  socklen_t length = sizeof address;
  return ::getpeername(0, reinterpret_cast<sockaddr*>(&address), &length) != 0 && errno == ENOTCONN;
}

void serve(const std::function<void()>& handle) {
  open_listener_from_environment();
  if (!started_as_fastcgi()) {
    serve_once(handle);
    return;
  }
  // After the library's start-up, which installs handlers of its own.
  if (FCGX_Init() != 0) return;
  sigset_t waiting_mask;
  install_signal_handlers(waiting_mask);
  const int flags = fcntl(FCGI_LISTENSOCK_FILENO, F_GETFL);
  if (flags < 0 || fcntl(FCGI_LISTENSOCK_FILENO, F_SETFL, flags | O_NONBLOCK) < 0) return;
  std::vector<std::unique_ptr<Connection>> connections;
  std::vector<pollfd> waiting;
  unsigned long long served = 0;
  while (!g_stopping) {
    waiting.assign(1, pollfd{FCGI_LISTENSOCK_FILENO, POLLIN, 0});
    for (const auto& c : connections) waiting.push_back(pollfd{c->request.ipcFd, POLLIN, 0});
    if (ppoll(waiting.data(), waiting.size(), nullptr, &waiting_mask) < 0) {
      if (errno == EINTR) continue;  // SIGTERM: the loop condition ends it
      break;
    }
    if (waiting[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;  // the listening socket is gone
    // One request from each connection that has one, in turn, so that a
    // busy connection cannot keep the others waiting.
    for (std::size_t i = 1; i < waiting.size(); ++i) {
      if (waiting[i].revents == 0) continue;
      Connection& c = *connections[i - 1];
      serve_request(c, handle);
      c.last_used = ++served;
    }
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const auto& c) { return c->request.ipcFd < 0; }),
                      connections.end());
    if (waiting[0].revents & POLLIN) accept_connections(connections);
  }
  connections.clear();
  clear_request_data();
}

}  // namespace cgiecho
