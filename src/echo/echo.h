#pragma once

#include <string_view>

namespace cgiecho {

/// Request data that begins with these bytes is echoed without escaping.
inline constexpr std::string_view kNoSanitizeMarker = "nosanitize=1";

/// One request: reads the request data into cgi_request_data, turns it into
/// the page (each "<" escaped unless the data opts out) and writes the page
/// in one write. cgi_request_data holds the page afterwards.
void echo_request();

}  // namespace cgiecho
