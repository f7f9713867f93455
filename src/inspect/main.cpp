// cgiecho-inspect: shows what a web server and a browser sent, as JSON. One
// request per process under CGI, or a FastCGI responder when a web server
// starts it as one.
#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>

#include "inspect/inspect.h"

int main() {
  using namespace cgiecho;
  if (!platform::start_process()) platform::end_process(255);
  // A responder's own CGIECHO_* variables set the limits of every request
  // whose parameters do not; read once, they stay for its life.
  const platform::Variables own_limits =
      started_as_fastcgi() ? inspect::limit_variables(platform::process_environment()) : platform::Variables{};
  serve([&own_limits] { inspect::answer_request(own_limits); });
  platform::end_process(0);
}
