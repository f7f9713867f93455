#include "echo/echo.h"
#include "serve/serve.h"

namespace cgiecho {

void serve_once(const std::function<void()>& handle) {
  reset_request_state();
  try {
    handle();
  } catch (...) {
  }
}

}  // namespace cgiecho
