// Request readers and environment accessors.
#include "cgiecho.h"

#include <cgiecho/request/acquire.h>

#include "capture/recorder.h"
#include "export/handle.h"
#include "request/environment.h"

using namespace cgiecho;
using namespace cgiecho::exports;

// The first of these in a process captures the request, when the server
// configuration asks for captures.
extern "C" int32_t CGI_CALL CGI_BUFFER(void) {
  return guarded([] {
    capture::capture_process_request();
    return buffer_request();
  });
}
extern "C" cgi_str CGI_CALL CGI_READ(void) {
  return guarded([] {
    capture::capture_process_request();
    return to_handle(read_request());
  });
}
extern "C" cgi_str CGI_CALL CGI_STDIN(void) {
  return guarded([] {
    capture::capture_process_request();
    return to_handle(read_body());
  });
}

// The fixed accessors, one per row of the table in the header.
#define CGI_DEFINE_TEXT_(var) \
  extern "C" cgi_str CGI_CALL CGI_##var(void) { return guarded([] { return to_handle(env_text(#var)); }); }
#define CGI_DEFINE_NUMBER_(var) \
  extern "C" int32_t CGI_CALL CGI_##var(void) { return guarded([] { return env_number(#var); }); }
#define CGI_DEFINE_FLAG_(var) \
  extern "C" int32_t CGI_CALL CGI_##var(void) { return guarded([] { return env_flag(#var); }); }
CGI_FIXED_ACCESSORS(CGI_DEFINE_TEXT_, CGI_DEFINE_NUMBER_, CGI_DEFINE_FLAG_)

extern "C" cgi_str CGI_CALL CGI_PARM(cgi_str* name) {
  return guarded([&] { return to_handle(env_text_named(view_of(name))); });
}
extern "C" int32_t CGI_CALL CGI_LPARM(cgi_str* name) {
  return guarded([&] { return env_number_named(view_of(name)); });
}
