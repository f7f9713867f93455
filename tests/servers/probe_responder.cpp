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
// gets as far as serving.
#include <unistd.h>  // mingw-w64 has it too: access and getpid

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include <cgiecho/output/page.h>
#include <cgiecho/request/environment.h>
#include <cgiecho/serve/serve.h>

int main() {
  const char* die = std::getenv("PROBE_DIE_FILE");
  if (die != nullptr && ::access(die, F_OK) == 0) return 3;
  const char* hang = std::getenv("PROBE_HANG_FILE");
  if (hang != nullptr && ::access(hang, F_OK) == 0)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  cgiecho::serve([] {
    std::string first = "[" + cgiecho::env_text_named(cgiecho::env_text("PROBE_NAME")) + "]";
    if (cgiecho::env_text("PROBE_PID") == "1") first += " pid=" + std::to_string(::getpid());
    cgiecho::write_with_header(first);
    if (cgiecho::env_text("PROBE_THROW") == "1") throw std::runtime_error("the handler's own failure");
    const std::string end = cgiecho::env_text("PROBE_END");
    if (end == "abort") std::abort();
    if (end == "exit") std::_Exit(3);
    if (end == "segv") *static_cast<volatile int*>(nullptr) = 1;
    if (end == "hang")
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    const std::string sleep = cgiecho::env_text("PROBE_SLEEP_MS");
    if (!sleep.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(sleep)));
    cgiecho::write_with_header("done");
  });
}
