// A responder for the FastCGI cases that take a program of one's own: it
// looks up the variable that the request's PROBE_NAME names, as CGI_PARM
// does, throws after its first line when PROBE_THROW is 1, and takes
// PROBE_SLEEP_MS milliseconds before its last line (a handler at work when
// a signal comes).
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <cgiecho/output/page.h>
#include <cgiecho/request/environment.h>
#include <cgiecho/serve/serve.h>

int main() {
  cgiecho::serve([] {
    cgiecho::write_with_header("[" + cgiecho::env_text_named(cgiecho::env_text("PROBE_NAME")) + "]");
    if (cgiecho::env_text("PROBE_THROW") == "1") throw std::runtime_error("the handler's own failure");
    const std::string sleep = cgiecho::env_text("PROBE_SLEEP_MS");
    if (!sleep.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(sleep)));
    cgiecho::write_with_header("done");
  });
}
