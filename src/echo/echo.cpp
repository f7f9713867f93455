#include "echo/echo.h"

#include <cgiecho/output/page.h>
#include <cgiecho/platform/platform.h>
#include <cgiecho/request/acquire.h>

namespace cgiecho {

void echo_request() {
  // Room for the frame around a body, so the page is made where it lies.
  buffer_request({kPageHead.size(), kPageTail.size()});
  RequestData& data = cgi_request_data();
  const std::string_view text = data.view();
  const bool opted_out = text.substr(0, kNoSanitizeMarker.size()) == kNoSanitizeMarker;
  if (opted_out || text.find('<') == std::string_view::npos) {
    data.frame(kPageHead, kPageTail);
  } else {
    data = make_page(text, Markup::kEscapeLessThan);
  }
  platform::write_stdout(data.view());
}

}  // namespace cgiecho
