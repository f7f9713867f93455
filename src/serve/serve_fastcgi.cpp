// FastCGI through libfcgi: the protocol is the library's; this file only
// puts each request behind the platform seam.
#include <fcgiapp.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>

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

// SIGTERM is how a web server ends its responders: the request in hand
// still gets its answer, then the loop ends. Installed without SA_RESTART
// so that a responder waiting in accept() notices at once. A client that
// went away must cost its request only, so SIGPIPE is ignored.
void on_terminate(int) {
  g_stopping = 1;
  FCGX_ShutdownPending();
}

void install_signal_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_terminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
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

// libfcgi's own rule (FCGX_IsCGI): standard input is a socket that is not
// connected, i.e. one that listens. Asked here rather than through
// FCGX_IsCGI, which first initialises the library, and that takes over
// SIGTERM, SIGUSR1 and SIGPIPE: a CGI program must still end on SIGTERM,
// and should not pay seven system calls for the question.
bool started_as_fastcgi() {
  sockaddr_storage address;
  socklen_t length = sizeof address;
  return ::getpeername(0, reinterpret_cast<sockaddr*>(&address), &length) != 0 && errno == ENOTCONN;
}

void serve(const std::function<void()>& handle) {
  if (!started_as_fastcgi()) {
    run(handle);
    return;
  }
  // After the library's start-up, which installs handlers of its own.
  if (FCGX_Init() != 0) return;
  install_signal_handlers();
  FCGX_Request request;
  if (FCGX_InitRequest(&request, 0, 0) != 0) return;
  while (!g_stopping && FCGX_Accept_r(&request) >= 0) {
    RequestChannel channel(request);
    platform::set_channel(&channel);
    run(handle);
    platform::set_channel(nullptr);
    FCGX_Finish_r(&request);
  }
  FCGX_Free(&request, 1);
  clear_request_data();
}

}  // namespace cgiecho
