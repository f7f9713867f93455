#include "echo/echo.h"

#include "output/page.h"
#include "platform/platform.h"
#include "request/acquire.h"

namespace cgiecho {

void echo_request() {
  // Room for the frame after a body, so the page is made without a copy.
  buffer_request(kPageFrameSize);
  std::string& data = cgi_request_data();
  const bool opted_out = std::string_view(data).substr(0, kNoSanitizeMarker.size()) == kNoSanitizeMarker;
  if (opted_out || data.find('<') == std::string::npos) {
    frame_in_place(data);
  } else {
    data = make_page(data, Markup::kEscapeLessThan);
  }
  platform::write_stdout(data);
}

}  // namespace cgiecho
