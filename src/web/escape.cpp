#include <cgiecho/web/response.h>

#include <cstdint>
#include <new>
#include <stdexcept>

#include "text/ascii.h"
#include "text/hex.h"

namespace cgiecho::web {

std::string url_encode(std::string_view bytes) {
  static constexpr text::ByteSet kUnreserved(
      [](unsigned char c) { return text::is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; });
  return text::percent_encode(bytes, kUnreserved);
}

std::string cookie_encode(std::string_view bytes) {
  // cookie-octet: visible ASCII but DQUOTE, comma, semicolon and
  // backslash; "%" is encoded too, so that decoding gives the bytes back.
  static constexpr text::ByteSet kCookieOctets([](unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '"' && c != ',' && c != ';' && c != '\\' && c != '%';
  });
  return text::percent_encode(bytes, kCookieOctets);
}

std::string cookie_decode(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    int hi = 0, lo = 0;
    if (value[i] == '%' && i + 2 < value.size() && (hi = text::hex_value(value[i + 1])) >= 0 &&
        (lo = text::hex_value(value[i + 2])) >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

std::uint64_t html_escape_growth(std::string_view text) noexcept {
  std::uint64_t extra = 0;
  for (const char c : text) {
    switch (c) {
      case '&': extra += 4; break;   // &amp;
      case '<': case '>': extra += 3; break;  // &lt; &gt;
      case '"': case '\'': extra += 5; break;  // &quot; &#39;
      default: break;
    }
  }
  return extra;
}

bool escape_fits(std::uint64_t have, std::uint64_t text_size, std::uint64_t growth, std::uint64_t max_size) noexcept {
  // Each step subtracts what is known to fit, so nothing wraps.
  return have <= max_size && text_size <= max_size - have && growth <= max_size - have - text_size;
}

result<void> html_escape(std::string_view text, std::string& out) noexcept {
  const std::uint64_t extra = html_escape_growth(text);
  if (!escape_fits(out.size(), text.size(), extra, out.max_size())) return fail(errc::out_of_memory);
  try {
    // Fits in a size_t: the check above bounds it by max_size().
    out.reserve(out.size() + text.size() + static_cast<std::size_t>(extra));
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  } catch (const std::length_error&) {
    return fail(errc::out_of_memory);
  }
  // Room is reserved: the appends below never allocate.
  std::size_t from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string_view entity;
    switch (text[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: continue;
    }
    out.append(text, from, i - from).append(entity);
    from = i + 1;
  }
  out.append(text, from, std::string_view::npos);
  return {};
}

std::string html_escape(std::string_view text) {
  std::string out;
  if (!html_escape(text, out)) throw std::bad_alloc();
  return out;
}

}  // namespace cgiecho::web
