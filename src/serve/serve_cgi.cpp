// Where FastCGI is not offered (the Windows build), every start is CGI.
#include "serve/serve.h"

namespace cgiecho {

bool started_as_fastcgi() { return false; }

void serve(const std::function<void()>& handle) { serve_once(handle); }

}  // namespace cgiecho
