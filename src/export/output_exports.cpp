// Output writers.
#include "cgiecho.h"

#include <cgiecho/output/page.h>
#include <cgiecho/platform/platform.h>

#include "export/handle.h"

using namespace cgiecho;
using namespace cgiecho::exports;

extern "C" void CGI_CALL exec_html(cgi_str* text) {
  guarded([&] {
    // Built in the handle that the caller gets back. Without memory for it
    // nothing is written and the caller's text stays.
    const std::string_view body = view_of(text);
    owned_handle page(new_handle(std::uint64_t{kPageFrameSize} + body.size()));
    if (page.data() == nullptr) return;
    frame_to(body, page.data());
    // Written before it is handed over: with a null address the page has
    // nowhere to go, and replace releases it.
    platform::write_stdout(page.view());
    replace(text, page.hand_over());
  });
}
extern "C" void CGI_CALL cgi_write(cgi_str* text) {
  guarded([&] { write_with_header(view_of(text)); });
}
extern "C" void CGI_CALL cgi_stdout(cgi_str* text) {
  guarded([&] { write_line(view_of(text)); });
}
