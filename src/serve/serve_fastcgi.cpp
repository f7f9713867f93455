// FastCGI through libfcgi: the protocol is the library's; this file only
// puts each request behind the platform seam.
#include <fastcgi.h>
#include <fcgiapp.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "output/page.h"
#include "platform/platform.h"
#include "request/acquire.h"
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
// The connection kept open between requests (FCGI_KEEP_CONN) while the loop
// waits for the next request on it; -1 otherwise.
volatile std::sig_atomic_t g_idle_connection = -1;

// SIGTERM is how a web server ends its responders: the request in hand
// still gets its whole answer, then the loop ends. So SIGTERM is blocked
// from the moment a request is accepted until its answer is out: delivered
// during the request, it would interrupt the reads of its body and the
// writes of its page, and libfcgi takes an interrupted call for a broken
// connection. While the loop waits for a request, the handler (installed
// without SA_RESTART) ends the wait at once: the interrupted accept() or
// read() returns, and closing the listening socket and shutting the idle
// connection make sure a wait that had not started yet cannot start. A
// client that went away must cost its request only, so SIGPIPE is ignored.
void on_terminate(int) {
  g_stopping = 1;
  FCGX_ShutdownPending();
  if (g_idle_connection >= 0) shutdown(g_idle_connection, SHUT_RDWR);
  close(FCGI_LISTENSOCK_FILENO);
}

sigset_t terminate_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  return set;
}

void install_signal_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_terminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
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

void run(const std::function<void()>& handle) {
  clear_request_data();
  clear_header_sent();
  try {
    handle();
  } catch (...) {
  }
}

}  // namespace

bool started_as_fastcgi() { return FCGX_IsCGI() == 0; }

void serve(const std::function<void()>& handle) {
  if (!started_as_fastcgi()) {
    run(handle);
    return;
  }
  if (FCGX_Init() != 0) return;
  install_signal_handlers();
  FCGX_Request request;
  if (FCGX_InitRequest(&request, FCGI_LISTENSOCK_FILENO, 0) != 0) return;
  const sigset_t terminate = terminate_set();
  for (;;) {
    g_idle_connection = request.ipcFd;
    sigprocmask(SIG_UNBLOCK, &terminate, nullptr);  // a SIGTERM held during the last request lands here
    const int accepted = g_stopping ? -1 : FCGX_Accept_r(&request);
    sigprocmask(SIG_BLOCK, &terminate, nullptr);
    g_idle_connection = -1;
    if (accepted < 0) break;
    RequestChannel channel(request);
    platform::set_channel(&channel);
    run(handle);
    platform::set_channel(nullptr);
    drain_input(request);
    FCGX_Finish_r(&request);
  }
  FCGX_Free(&request, 1);
  clear_request_data();
}

}  // namespace cgiecho
