// HTTP dates from seconds since the epoch, for a cookie's Expires; not a
// public header.
#pragma once

#include <cstdint>
#include <string>

namespace cgiecho::web {

// An HTTP date (IMF-fixdate), "Sun, 06 Nov 1994 08:49:37 GMT"; false for a
// time outside the years 1601 to 9999, which no reader takes.
bool http_date(std::int64_t t, std::string& out);

}  // namespace cgiecho::web
