#include "output/page.h"
#include "request/acquire.h"
#include "serve/serve.h"

namespace cgiecho {

void reset_request_state() {
  clear_request_data();
  clear_header_sent();
}

void serve_once(const std::function<void()>& handle) {
  reset_request_state();
  try {
    handle();
  } catch (...) {
  }
}

}  // namespace cgiecho
