#include <cgiecho/web/cookies.h>

#include <cstddef>
#include <new>

#include "text/ascii.h"

namespace cgiecho::web {
result<std::vector<Cookie>> parse_cookies(std::string_view header, std::uint64_t max_cookies) noexcept {
  try {
    std::vector<Cookie> out;
    std::uint64_t count = 0;
    std::size_t from = 0;
    while (from <= header.size()) {
      std::size_t semi = header.find(';', from);
      if (semi == std::string_view::npos) semi = header.size();
      const std::string_view piece = header.substr(from, semi - from);
      from = semi + 1;

      const std::size_t eq = piece.find('=');
      if (eq == std::string_view::npos) continue;
      const std::string_view name = text::trim_blanks(piece.substr(0, eq));
      if (name.empty()) continue;
      std::string_view value = text::trim_blanks(piece.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);

      if (++count > max_cookies) return fail(errc::too_many_cookies);
      out.push_back(Cookie{name, value});
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

}  // namespace cgiecho::web
