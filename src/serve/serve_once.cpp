#include "capture/recorder.h"
#include <cgiecho/output/page.h>
#include <cgiecho/request/acquire.h>
#include <cgiecho/serve/serve.h>

namespace cgiecho {

void reset_request_state() {
  clear_request_data();
  clear_header_sent();
}

void serve_once(const std::function<void()>& handle) {
  reset_request_state();
  // Written to a file before the handler runs, when the server
  // configuration asks for captures; the answer is added after it.
  capture::Recording recording;
  recording.begin(true);
  try {
    handle();
  } catch (...) {
  }
  recording.finish();
}

}  // namespace cgiecho
