// A responder for the FastCGI cases that take a program of one's own: it
// looks up the variable that the request's PROBE_NAME names, as CGI_PARM
// does, and throws after its first line when PROBE_THROW is 1.
#include <stdexcept>
#include <string>

#include "output/page.h"
#include "request/environment.h"
#include "serve/serve.h"

int main() {
  cgiecho::serve([] {
    cgiecho::write_with_header("[" + cgiecho::env_text_named(cgiecho::env_text("PROBE_NAME")) + "]");
    if (cgiecho::env_text("PROBE_THROW") == "1") throw std::runtime_error("the handler's own failure");
    cgiecho::write_with_header("done");
  });
}
