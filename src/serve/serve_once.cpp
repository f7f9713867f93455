// Where FastCGI is not offered (the Windows build), every start is CGI.
#include "serve/serve.h"

#include "output/page.h"
#include "request/acquire.h"

namespace cgiecho {

bool started_as_fastcgi() { return false; }

void serve(const std::function<void()>& handle) {
  clear_request_data();
  clear_header_sent();
  try {
    handle();
  } catch (...) {
  }
}

}  // namespace cgiecho
