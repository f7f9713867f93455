#include <cgiecho/web/response.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>

#include <cgiecho/platform/platform.h>
#include <cgiecho/web/request.h>

#include "text/ascii.h"

namespace cgiecho::web {
namespace {

// Bodies up to this size go out in the same write as the head; a larger
// one is not copied for that and follows in a write of its own.
constexpr std::size_t kOneWriteBody = std::size_t{1} << 20;

struct Reason {
  int code;
  std::string_view text;
};

constexpr Reason kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {103, "Early Hints"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};

std::string_view reason(int code) {
  for (const auto& r : kReasons)
    if (r.code == code) return r.text;
  return "Unknown";
}

bool is_alpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Whether every byte of s, read unsigned, passes.
template <class Test>
bool every_byte(std::string_view s, Test test) {
  for (const char c : s)
    if (!test(static_cast<unsigned char>(c))) return false;
  return true;
}

// What a header value may not hold: each ends the line or the string for
// some reader of the head.
bool is_safe_value(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

// type "/" subtype, then any parameters; `has_charset` tells whether one of
// them is named charset.
bool is_media_type(std::string_view s, bool& has_charset) {
  if (!is_safe_value(s)) return false;
  const std::size_t semi = s.find(';');
  const std::string_view essence = text::trim_blanks(s.substr(0, semi));
  const std::size_t slash = essence.find('/');
  if (slash == std::string_view::npos || !text::is_token(essence.substr(0, slash)) ||
      !text::is_token(essence.substr(slash + 1)))
    return false;
  has_charset = false;
  for (std::size_t at = semi; at != std::string_view::npos;) {
    const std::size_t next = s.find(';', at + 1);
    const std::string_view param = s.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
    if (text::equals_ignoring_case(text::trim_blanks(param.substr(0, param.find('='))), "charset")) has_charset = true;
    at = next;
  }
  return true;
}

// cookie-octet: visible ASCII but DQUOTE, comma, semicolon and backslash.
bool is_cookie_value(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return every_byte(v, [](unsigned char c) { return c > 0x20 && c < 0x7F && c != '"' && c != ',' && c != ';' && c != '\\'; });
}

bool is_cookie_path(std::string_view p) {
  return every_byte(p, [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != ';'; });
}

bool is_cookie_domain(std::string_view d) {
  return every_byte(d, [](unsigned char c) { return is_alpha(c) || is_digit(c) || c == '-' || c == '.'; });
}

// scheme ":" with scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool has_scheme(std::string_view uri) {
  if (uri.empty() || !is_alpha(static_cast<unsigned char>(uri[0]))) return false;
  for (std::size_t i = 1; i < uri.size(); ++i) {
    const auto c = static_cast<unsigned char>(uri[i]);
    if (c == ':') return true;
    if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

bool has_space_or_control(std::string_view s) {
  return !every_byte(s, [](unsigned char c) { return c != ' ' && !is_control(c); });
}

}  // namespace

template <class Change>
errc ResponseHead::update(Change&& change) noexcept {
  try {
    std::string status = status_line_;
    std::string type = type_line_;
    std::string headers = headers_;
    change(status, type, headers);
    std::string block;
    block.reserve(status.size() + type.size() + headers.size() + 2);
    block.append(status).append(type).append(headers).append("\r\n");
    status_line_.swap(status);
    type_line_.swap(type);
    headers_.swap(headers);
    block_.swap(block);
    return errc::ok;
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  }
}

errc ResponseHead::check_open() const noexcept {
  if (sent_) return errc::head_already_sent;
  if (local_) return errc::invalid_redirect;
  return errc::ok;
}

errc ResponseHead::status(int code) noexcept {
  if (const errc e = check_open(); e != errc::ok) return e;
  if (code < 100 || code > 599) return errc::invalid_status;
  return update([&](std::string& status, std::string&, std::string&) {
    status.assign("Status: ").append(std::to_string(code)).append(" ").append(reason(code)).append("\r\n");
  });
}

errc ResponseHead::content_type(std::string_view media_type, std::string_view charset) noexcept {
  if (const errc e = check_open(); e != errc::ok) return e;
  bool has_charset = false;
  if (!is_media_type(media_type, has_charset)) return errc::invalid_header;
  if (!charset.empty() && (has_charset || !text::is_token(charset))) return errc::invalid_header;
  return update([&](std::string&, std::string& type, std::string&) {
    type.assign("Content-Type: ").append(media_type);
    if (!charset.empty()) type.append("; charset=").append(charset);
    type.append("\r\n");
  });
}

errc ResponseHead::header(std::string_view name, std::string_view value) noexcept {
  if (const errc e = check_open(); e != errc::ok) return e;
  if (!text::is_token(name) || !is_safe_value(value)) return errc::invalid_header;
  if (text::equals_ignoring_case(name, "Status") || text::equals_ignoring_case(name, "Content-Type") ||
      text::equals_ignoring_case(name, "Location"))
    return errc::invalid_header;
  return update([&](std::string&, std::string&, std::string& headers) {
    headers.append(name).append(": ").append(value).append("\r\n");
  });
}

errc ResponseHead::set_cookie(const SetCookie& c) noexcept {
  if (const errc e = check_open(); e != errc::ok) return e;
  if (!text::is_token(c.name) || !is_cookie_value(c.value) || !is_cookie_path(c.path) || !is_cookie_domain(c.domain))
    return errc::invalid_cookie;
  // Browsers drop these rather than store them: refused here, where the
  // program can still be told.
  if (c.same_site == SameSite::none && !c.secure) return errc::invalid_cookie;
  if (text::starts_with_ignoring_case(c.name, "__Secure-") && !c.secure) return errc::invalid_cookie;
  if (text::starts_with_ignoring_case(c.name, "__Host-") && (!c.secure || !c.domain.empty() || c.path != "/"))
    return errc::invalid_cookie;
  return update([&](std::string&, std::string&, std::string& headers) {
    headers.append("Set-Cookie: ").append(c.name).append("=").append(c.value);
    if (!c.path.empty()) headers.append("; Path=").append(c.path);
    if (!c.domain.empty()) headers.append("; Domain=").append(c.domain);
    if (c.max_age >= 0) headers.append("; Max-Age=").append(std::to_string(c.max_age));
    if (c.secure) headers.append("; Secure");
    if (c.http_only) headers.append("; HttpOnly");
    switch (c.same_site) {
      case SameSite::lax: headers.append("; SameSite=Lax"); break;
      case SameSite::strict: headers.append("; SameSite=Strict"); break;
      case SameSite::none: headers.append("; SameSite=None"); break;
      case SameSite::unset: break;
    }
    headers.append("\r\n");
  });
}

errc ResponseHead::redirect(std::string_view absolute_uri, int code) noexcept {
  if (const errc e = check_open(); e != errc::ok) return e;
  if (code < 300 || code > 399) return errc::invalid_status;
  if (location_ || !has_scheme(absolute_uri) || has_space_or_control(absolute_uri)) return errc::invalid_redirect;
  const errc e = update([&](std::string& status, std::string&, std::string& headers) {
    status.assign("Status: ").append(std::to_string(code)).append(" ").append(reason(code)).append("\r\n");
    headers.append("Location: ").append(absolute_uri).append("\r\n");
  });
  if (e == errc::ok) location_ = true;
  return e;
}

errc ResponseHead::local_redirect(std::string_view path) noexcept {
  if (const errc e = check_open(); e != errc::ok) return e;
  if (!status_line_.empty() || !type_line_.empty() || !headers_.empty()) return errc::invalid_redirect;
  if (path.empty() || path[0] != '/' || (path.size() > 1 && path[1] == '/') || has_space_or_control(path) ||
      path.find_first_of("\\#") != std::string_view::npos)
    return errc::invalid_redirect;
  const errc e = update([&](std::string&, std::string&, std::string& headers) {
    headers.append("Location: ").append(path).append("\r\n");
  });
  if (e == errc::ok) local_ = location_ = true;
  return e;
}

std::string_view ResponseHead::text() const noexcept { return block_; }

ResponseHead::ResponseHead(const Request& request) noexcept : head_only_(request.method() == "HEAD") {}

errc ResponseHead::send(std::string_view body) noexcept {
  if (sent_) return errc::head_already_sent;
  if (local_ && !body.empty()) return errc::invalid_redirect;
  // A CGI head needs one of Status, Content-Type and Location, and a body
  // needs a type. A HEAD answer gets the type the GET's body would get.
  constexpr std::string_view kDefaultType = "Content-Type: text/html; charset=UTF-8\r\n";
  const bool default_type = type_line_.empty() && !local_ && (!body.empty() || (status_line_.empty() && !location_));
  if (head_only_) body = {};
  const bool with_body = body.size() <= kOneWriteBody;
  try {
    std::string out;
    out.reserve(block_.size() + (default_type ? kDefaultType.size() : 0) + (with_body ? body.size() : 0));
    out.append(status_line_);
    if (default_type) out.append(kDefaultType);
    else out.append(type_line_);
    out.append(headers_).append("\r\n");
    if (with_body) out.append(body);
    sent_ = true;
    if (!platform::write_output(out)) return errc::write_failed;
    if (!with_body && !platform::write_output(body)) return errc::write_failed;
    return errc::ok;
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  }
}

errc ResponseHead::write(std::string_view body) noexcept {
  if (!sent_) return send(body);
  if (local_ && !body.empty()) return errc::invalid_redirect;
  if (head_only_ || body.empty()) return errc::ok;
  try {
    return platform::write_output(body) ? errc::ok : errc::write_failed;
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  }
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

errc html_escape(std::string_view text, std::string& out) noexcept {
  const std::uint64_t extra = html_escape_growth(text);
  if (!escape_fits(out.size(), text.size(), extra, out.max_size())) return errc::out_of_memory;
  try {
    // Fits in a size_t: the check above bounds it by max_size().
    out.reserve(out.size() + text.size() + static_cast<std::size_t>(extra));
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  } catch (const std::length_error&) {
    return errc::out_of_memory;
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
  return errc::ok;
}

std::string html_escape(std::string_view text) {
  std::string out;
  if (html_escape(text, out) != errc::ok) throw std::bad_alloc();
  return out;
}

}  // namespace cgiecho::web
