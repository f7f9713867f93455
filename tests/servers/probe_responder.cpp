// A responder for the FastCGI cases that take a program of one's own: it
// looks up the variable that the request's PROBE_NAME names, as CGI_PARM
// does, throws after its first line when PROBE_THROW is 1, and takes
// PROBE_SLEEP_MS milliseconds before its last line (a handler at work when
// a signal comes). For the pool's cases: PROBE_END ends the process after
// the first line ("abort": by SIGABRT; "exit": with status 3; "hang": it
// never answers); PROBE_PID=1 puts the process's pid in the first line. A
// process started while the file that its own environment's
// PROBE_DIE_FILE names exists ends at once with status 3 (a worker that
// cannot start); one started while PROBE_HANG_FILE's file exists never
// gets as far as serving. PROBE_FDS=1 adds what a program the handler
// starts holds open (child_descriptors), PROBE_OWN_ENV those of a
// comma-separated list of names that the process's own environment holds;
// PROBE_END=shutdown shuts its listening sockets down (for every process
// that holds them).
#include <unistd.h>  // mingw-w64 has it too: access and getpid
#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include <cgiecho/output/page.h>
#include <cgiecho/serve/serve.h>

#include "request/environment.h"

// The descriptors of a shell that the handler starts through popen, as
// system() would start one: "N:target" each, blank-separated, as readlink
// names them ("socket:[4711]", "/dev/null", ...), listed by a program of
// its own while the shell waits (the "exit" keeps the shell from becoming
// that program). POSIX only.
std::string child_descriptors() {
  std::FILE* child = popen("find /proc/$$/fd -mindepth 1 -printf '%f:%l '; exit 0", "r");
  if (child == nullptr) return "none";
  std::string out;
  char buffer[512];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, child)) > 0;) out.append(buffer, got);
  pclose(child);
  return out;
}

// The process's own variables that `names` lists: " NAME=value" or
// " NAME unset" each.
std::string own_variables(const std::string& names) {
  std::string out;
  for (std::size_t at = 0; at <= names.size();) {
    const std::size_t comma = std::min(names.find(',', at), names.size());
    const std::string name = names.substr(at, comma - at);
    const char* value = std::getenv(name.c_str());
    out += " " + name + (value != nullptr ? "=" + std::string(value) : std::string(" unset"));
    at = comma + 1;
  }
  return out;
}

void shut_down_listeners() {
#ifndef _WIN32
  for (int fd = 0; fd < 1024; ++fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0)
      ::shutdown(fd, SHUT_RDWR);
  }
#endif
}

int main() {
  const char* die = std::getenv("PROBE_DIE_FILE");
  if (die != nullptr && ::access(die, F_OK) == 0) return 3;
  const char* hang = std::getenv("PROBE_HANG_FILE");
  if (hang != nullptr && ::access(hang, F_OK) == 0)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  cgiecho::serve([] {
    std::string first = "[" + cgiecho::env_text_named(cgiecho::env_text("PROBE_NAME")) + "]";
    if (cgiecho::env_text("PROBE_PID") == "1") first += " pid=" + std::to_string(::getpid());
    if (cgiecho::env_text("PROBE_FDS") == "1") first += " fds=" + child_descriptors();
    if (const std::string names = cgiecho::env_text("PROBE_OWN_ENV"); !names.empty()) first += own_variables(names);
    cgiecho::write_with_header(first);
    if (cgiecho::env_text("PROBE_THROW") == "1") throw std::runtime_error("the handler's own failure");
    const std::string end = cgiecho::env_text("PROBE_END");
    if (end == "abort") std::abort();
    if (end == "exit") std::_Exit(3);
    if (end == "shutdown") shut_down_listeners();
    if (end == "segv") *static_cast<volatile int*>(nullptr) = 1;
    if (end == "hang")
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    const std::string sleep = cgiecho::env_text("PROBE_SLEEP_MS");
    if (!sleep.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(sleep)));
    cgiecho::write_with_header("done");
  });
}
