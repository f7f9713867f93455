// The echo program: one CGI request per process, or a FastCGI responder
// when a web server starts it as one.
#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>

#include "echo/echo.h"

int main() {
  using namespace cgiecho;
  if (!platform::start_process()) platform::end_process(255);
  // One request under CGI; under FastCGI, each request the server sends.
  serve(echo_request);
  reset_request_state();
  platform::end_process(0);
}
