/// Cookies from the Cookie header (HTTP_COOKIE), read leniently: one odd
/// cookie never costs the others.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <cgiecho/web/errors.h>

namespace cgiecho::web {

/// Views into the header text; they live as long as it does.
struct Cookie {
  std::string_view name;   ///< trimmed
  std::string_view value;  ///< trimmed, one pair of quotes taken off
};

/// Splits on ";"; a name runs to the piece's first "=", name and value are
/// each trimmed of spaces and tabs, and one pair of surrounding double quotes
/// is taken off the value. A piece without "=", or with an empty name, is
/// skipped and not counted. No URL decoding; every other byte is kept;
/// duplicates stay, in order. More than `max_cookies` cookies:
/// errc::too_many_cookies; no memory for them: errc::out_of_memory.
[[nodiscard]] result<std::vector<Cookie>> parse_cookies(std::string_view header, std::uint64_t max_cookies) noexcept;

}  // namespace cgiecho::web
