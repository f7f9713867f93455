#pragma once

#include <string_view>

namespace cgiecho {

// Request data that begins with these bytes is echoed without escaping.
inline constexpr std::string_view kNoSanitizeMarker = "nosanitize=1";

// One request: reads the request data into cgi_request_data, turns it into
// the page (each "<" escaped unless the data opts out) and writes the page
// in one write. cgi_request_data holds the page afterwards.
void echo_request();

// Back to the state before any request: no request data (its memory
// released), no CGI header sent. Every request starts from here, under CGI
// and FastCGI alike, and the process ends here.
void reset_request_state();

}  // namespace cgiecho
