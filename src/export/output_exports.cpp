// Output writers.
#include "cgiecho.h"
#include "export/handle.h"
#include "output/page.h"
#include "platform/platform.h"

using namespace cgiecho;
using namespace cgiecho::exports;

extern "C" void CGI_CALL exec_html(cgi_str* text) {
  guarded([&] {
    // Built in the handle that the caller gets back. Without memory for it
    // nothing is written and the caller's text stays.
    const std::string_view body = view_of(text);
    cgi_str page = new_handle(kPageFrameSize + body.size());
    if (page == nullptr) return;
    frame_to(body, bytes_of(page));
    // Written before it is handed over: with a null address the page has
    // nowhere to go, and replace releases it. A write that throws must not
    // take the page with it.
    try {
      platform::write_stdout(view_of(page));
    } catch (...) {
      release(page);
      throw;
    }
    replace(text, page);
  });
}
extern "C" void CGI_CALL cgi_write(cgi_str* text) {
  guarded([&] { write_with_header(view_of(text)); });
}
extern "C" void CGI_CALL cgi_stdout(cgi_str* text) {
  guarded([&] { write_line(view_of(text)); });
}
