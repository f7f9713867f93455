// FastCGI on Windows through libfcgi's Win32 layer: the records and the
// listener are the library's; this file decides who serves which
// connection and puts each request behind the platform seam.
//
// libfcgi on Windows reads one connection at a time and blocks on it, so a
// web server that keeps several connections open (nginx's keepalive) would
// see its requests on the second wait for the first to close. So one
// thread takes new connections and serves their first request, and each
// connection the web server keeps gets a thread of its own, which ends with
// it. The requests themselves are served one at a time, as the seam and the
// request data are the process's.
//
// With CGIECHO_WORKERS and a TCP listener the process is the master of a
// pool (pool_master.cpp) and serves nothing itself; each worker is this
// responder on the listener it inherits, counting its requests in the
// pool's shared figures.
#include <fcgiapp.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>

#include "platform/listener.h"
#include "platform/diagnostics.h"
#include "platform/workers.h"
#include "serve/listen_address.h"
#include "serve/pool.h"
#include "serve/pool_settings.h"
#include "serve/request_channel.h"
#include "serve/responder.h"

namespace cgiecho {
namespace {

// Kept TCP connections with a thread of their own; past them, the thread
// that takes new connections serves a kept one itself until it closes.
constexpr int kMaxKeptConnections = 64;

// Shared by the threads, and never freed: when the responder ends, threads
// still waiting on their connections end with the process, and must not
// find this gone in the meantime.
struct Responder {
  std::function<void()> handle;
  std::unique_ptr<pool::Worker> worker;  // null unless this process is a pool's worker
  int listen_fd = 0;
  bool tcp = false;         // a named pipe has one connection at a time: no other thread
  bool stop_event = false;  // the web server can ask the responder to end

  std::mutex serving;    // held for the whole of one request, its answer sent
  std::mutex accepting;  // held while libfcgi takes a new connection
  std::mutex state;      // guards what follows
  std::condition_variable changed;
  int kept = 0;     // threads of kept connections
  int in_hand = 0;  // requests read and not yet answered in full
  bool listener_gone = false;
  bool stop_asked = false;
};

// The next request of the connection `request` reads from, or of a new
// connection from the listener when it has none. libfcgi's accept is for
// one thread at a time, as its own threaded use has it: only a request
// with a listener accepts, and it does so under the lock. The lock is not
// held while a kept connection's thread waits for its next request: that
// wait is on its own connection, and holding it there would stall the
// listener and every other connection until that one spoke.
bool accept_request(Responder& r, FCGX_Request& request) {
  if (request.ipcFd >= 0 || request.listen_sock < 0) return FCGX_Accept_r(&request) >= 0;
  std::lock_guard<std::mutex> lock(r.accepting);
  return FCGX_Accept_r(&request) >= 0;
}

// One request of the connection `request` reads from; false when the
// connection (or, for the thread that takes new connections, the listener)
// has ended.
bool serve_request(Responder& r, FCGX_Request& request) {
  if (!accept_request(r, request)) return false;
  {
    std::lock_guard<std::mutex> lock(r.state);
    if (r.stop_asked) return false;  // came after the stop: not served
    ++r.in_hand;
  }
  const bool keep = request.keepConnection != 0;
  bool stopping = false;
  {
    std::lock_guard<std::mutex> lock(r.serving);
    RequestChannel channel(request, RequestChannel::Names::any_case);
    pool::Worker::serve(channel, r.handle, r.worker.get());
    drain_input(request);
    // A socket is closed after the lock: libfcgi's close waits up to two
    // seconds for the web server to close its end first.
    if (r.tcp) request.keepConnection = 1;
    FCGX_Finish_r(&request);
    std::lock_guard<std::mutex> state(r.state);
    if (r.worker) {
      r.worker->end();
      // Its share served (CGIECHO_MAX_REQUESTS): it takes no other
      // connection, and leaves once the requests in hand are answered.
      if (r.worker->leave()) r.stop_asked = true;
    }
    stopping = r.stop_asked;
  }
  // After a stop, the connection is closed in full (a pipe once the server
  // has read the answer) before the responder may end: ending the process
  // first would throw away what the server has not read yet.
  if ((stopping || !keep) && request.ipcFd >= 0) FCGX_Free(&request, 1);
  std::lock_guard<std::mutex> lock(r.state);
  --r.in_hand;
  r.changed.notify_all();
  return !stopping;
}

// A kept connection's own thread. Its request has no listener, so it ends
// with the connection (libfcgi closes it) instead of taking a new one.
void serve_kept(Responder& r, int fd) {
  FCGX_Request request;
  FCGX_InitRequest(&request, -1, 0);
  request.ipcFd = fd;
  request.keepConnection = 1;  // FCGX_Accept_r first finishes the request before
  while (serve_request(r, request)) {
  }
  std::lock_guard<std::mutex> lock(r.state);
  --r.kept;
}

void take_connections(Responder& r) {
  FCGX_Request request;
  FCGX_InitRequest(&request, r.listen_fd, 0);
  while (serve_request(r, request)) {
    if (!r.tcp || request.ipcFd < 0) continue;
    std::lock_guard<std::mutex> lock(r.state);
    if (r.kept >= kMaxKeptConnections) continue;
    ++r.kept;
    std::thread(serve_kept, std::ref(r), request.ipcFd).detach();
    request.ipcFd = -1;
  }
  std::lock_guard<std::mutex> lock(r.state);
  r.listener_gone = true;
  r.changed.notify_all();
}

// What the responder is, from its environment.
enum class Role { cgi, responder, master_done };

// Ends the process with status 2 for a pool setting Windows does not offer.
void refuse_unix_settings(const PoolSettings& settings) {
  const struct {
    const char* name;
    bool set;
    const char* why;
  } unix_only[] = {
      {"CGIECHO_USER", !settings.user.empty(), "a responder runs as the user that starts it"},
      {"CGIECHO_LISTEN_GROUP", !settings.listen_group.empty(), "a responder runs as the user that starts it"},
      {"CGIECHO_LISTEN_MODE", !platform::process_env("CGIECHO_LISTEN_MODE").empty(), "there is no socket path"},
      {"CGIECHO_RELOAD_TIMEOUT", !platform::process_env("CGIECHO_RELOAD_TIMEOUT").empty(),
       "there is no reload: stop and start the master"}};
  for (const auto& u : unix_only) {
    if (u.set)
      platform::end_with_message(std::string("FastCGI responder: ") + u.name + "=" + platform::process_env(u.name) +
                                     ": not offered on Windows (" + u.why + ")",
                                 2);
  }
}

// A named pipe has one connection at a time: the pool needs TCP. The
// variable may be set for every program of a machine that also hosts
// responders on pipes (IIS), so this is said, not refused.
void say_pool_needs_tcp(const PoolSettings& settings) {
  if (settings.workers == 0) return;
  platform::say_on_stderr("CGIECHO_WORKERS=" + std::to_string(settings.workers) +
                          ": a pool of workers needs a TCP listener (CGIECHO_LISTEN=HOST:PORT); on a named pipe "
                          "this responder serves as one process, without the pool's timeout, recycling and status "
                          "page");
}

// Opens the listener CGIECHO_LISTEN names, takes the one on standard
// input, or (with CGIECHO_WORKERS on TCP) runs the pool's master to its end.
Role open_listener(Responder& r, const PoolSettings& settings) {
  if (platform::prepare_pool_worker(pool::kMaxSlots)) {
    r.worker = pool::Worker::from_environment(settings);
    r.stop_event = platform::take_stop_event();
    if (FCGX_Init() != 0) give_up("libfcgi cannot start");
    platform::restore_standard_output();
    r.listen_fd = 0;  // libfcgi's listener: the one on standard input
    r.tcp = true;
    return Role::responder;
  }
  const std::string address = platform::process_env("CGIECHO_LISTEN");
  std::optional<ListenAddress> where;
  if (!address.empty()) {
    where = checked_listen_address(address, ListenAddress::Kind::pipe, "\\\\.\\pipe\\NAME");
    if (where->kind == ListenAddress::Kind::tcp && where->host.find(':') != std::string::npos) {
      refuse_listen_address(address, "an IPv4 address or host name is needed");
    }
    if (where->kind == ListenAddress::Kind::tcp && settings.workers > 0) {
      pool::run_master(settings, {}, {where->host, where->port, static_cast<int>(settings.backlog), address},
                       platform::take_stop_event());
      return Role::master_done;
    }
    if (where->kind == ListenAddress::Kind::pipe) {
      say_pool_needs_tcp(settings);
      const std::string failed = platform::listen_on_pipe(address);
      if (!failed.empty()) give_up("CGIECHO_LISTEN=" + address + ": " + failed);
    }
  } else if (platform::stdin_is_pipe_listener()) {
    say_pool_needs_tcp(settings);
    // Whatever the server left on standard output and error: libfcgi takes
    // standard input for a listener only when both are closed.
    platform::close_standard_output();
  } else {
    return Role::cgi;
  }
  // Before libfcgi starts: it would watch the event itself.
  r.stop_event = platform::take_stop_event();
  if (FCGX_Init() != 0) give_up("libfcgi cannot start");
  if (where && where->kind == ListenAddress::Kind::tcp) {
    r.listen_fd = FCGX_OpenSocket(address.c_str(), static_cast<int>(settings.backlog));
    if (r.listen_fd < 0) give_up("CGIECHO_LISTEN=" + address + ": cannot listen there");
    r.tcp = true;
    warn_if_reachable(platform::tcp_host_address(where->host), address);
  }
  return Role::responder;
}

}  // namespace

bool started_as_fastcgi() {
  return !platform::process_env("CGIECHO_LISTEN").empty() || platform::stdin_is_pipe_listener();
}

void serve(const std::function<void()>& handle) {
  if (!started_as_fastcgi()) {
    serve_once(handle);
    return;
  }
  const PoolSettingsRead read = read_pool_settings([](std::string_view name) { return platform::process_env(name); });
  if (!read.error.empty()) platform::end_with_message("FastCGI responder: " + read.error, 2);
  refuse_unix_settings(read.settings);
  auto fresh = std::make_unique<Responder>();
  const Role role = open_listener(*fresh, read.settings);
  if (role == Role::master_done) return;
  if (role == Role::cgi) {
    serve_once(handle);
    return;
  }
  Responder& r = *fresh.release();  // see Responder
  r.handle = handle;
  if (r.worker) r.worker->ready();
  if (r.stop_event) {
    std::thread([&r] {
      platform::wait_for_stop_event();
      std::lock_guard<std::mutex> lock(r.state);
      r.stop_asked = true;
      r.changed.notify_all();
    }).detach();
  }
  std::thread(take_connections, std::ref(r)).detach();
  std::unique_lock<std::mutex> lock(r.state);
  r.changed.wait(lock, [&r] { return (r.stop_asked && r.in_hand == 0) || r.listener_gone; });
  lock.unlock();
  // No request starts after this: the lock is never given back.
  r.serving.lock();
  r.worker.reset();  // a worker that served its share says so as it goes
  reset_request_state();
}

}  // namespace cgiecho
