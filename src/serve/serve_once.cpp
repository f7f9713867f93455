#include "output/page.h"
#include "request/acquire.h"
#include "serve/serve.h"

namespace cgiecho {

void serve_once(const std::function<void()>& handle) {
  clear_request_data();
  clear_header_sent();
  try {
    handle();
  } catch (...) {
  }
}

}  // namespace cgiecho
