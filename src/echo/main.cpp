// The echo program: one CGI request per process.
#include "echo/echo.h"
#include "platform/platform.h"

int main() {
  using namespace cgiecho;
  if (!platform::start_process()) platform::end_process(255);
  reset_process_state();
  echo_request();
  reset_process_state();
  platform::end_process(0);
}
