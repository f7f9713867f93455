// Output writers.
#include "cgiecho.h"
#include "export/handle.h"
#include "output/page.h"
#include "platform/platform.h"

using namespace cgiecho;
using namespace cgiecho::exports;

extern "C" void CGI_CALL exec_html(cgi_str* text) {
  guarded([&] {
    cgi_str page = to_handle(make_page(view_of(text)));
    replace(text, page);
    platform::write_stdout(view_of(page));
  });
}
extern "C" void CGI_CALL cgi_write(cgi_str* text) {
  guarded([&] { write_with_header(view_of(text)); });
}
extern "C" void CGI_CALL cgi_stdout(cgi_str* text) {
  guarded([&] { write_line(view_of(text)); });
}
