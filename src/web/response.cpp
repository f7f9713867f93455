#include <cgiecho/web/response.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

#include <cgiecho/platform/platform.h>
#include <cgiecho/web/request.h>

#include "text/ascii.h"
#include "text/decimal.h"
#include "text/hex.h"
#include "text/variables.h"

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

bool is_cookie_path(std::string_view p) {
  return every_byte(p, [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != ';'; });
}

bool is_cookie_domain(std::string_view d) {
  return every_byte(d, [](unsigned char c) { return text::is_alnum(c) || c == '-' || c == '.'; });
}

// scheme ":" with scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool has_scheme(std::string_view uri) {
  if (uri.empty() || !is_alpha(static_cast<unsigned char>(uri[0]))) return false;
  for (std::size_t i = 1; i < uri.size(); ++i) {
    const auto c = static_cast<unsigned char>(uri[i]);
    if (c == ':') return true;
    if (!text::is_alnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

bool has_space_or_control(std::string_view s) {
  return !every_byte(s, [](unsigned char c) { return c != ' ' && !is_control(c); });
}

// Whether a URI that has a scheme gives a browser somewhere to go: where
// it has an authority ("//" after the colon), a host that is not empty
// (after any "user@", before any ":port") and a port that is one, so
// "http://:80/x", "http:///x", "https://" and "http://@/" are refused.
// http, https, ws, wss and ftp always need that authority: a browser
// reads "http:x" as a path on the current site and "http:\\x" as a
// host, and "\" ends a host as "/" does. "file:///x" needs no host; a
// scheme without "//" (mailto:, urn:) has no authority to check.
bool names_a_host(std::string_view uri) {
  const std::size_t colon = uri.find(':');
  const std::string_view scheme = uri.substr(0, colon);
  std::string_view rest = uri.substr(colon + 1);
  bool special = false;
  for (const std::string_view s : {"http", "https", "ws", "wss", "ftp"})
    special = special || text::equals_ignoring_case(scheme, s);
  if (rest.substr(0, 2) != "//") return !special;
  if (text::equals_ignoring_case(scheme, "file")) return true;
  rest.remove_prefix(2);
  std::string_view authority = rest.substr(0, rest.find_first_of(special ? "/\\?#" : "/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host = authority, port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return false;
    port = after.substr(after.empty() ? 0 : 1);
  } else if (const std::size_t c = authority.find(':'); c != std::string_view::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c + 1);
  }
  return !host.empty() && text::is_url_port(port);
}


// Days since 1970-01-01 to a civil date (proleptic Gregorian), exact for
// every 64-bit day count a cookie can use.
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

// An HTTP date (IMF-fixdate), "Sun, 06 Nov 1994 08:49:37 GMT"; false for a
// time outside the years 1601 to 9999, which no reader takes.
bool http_date(std::int64_t t, std::string& out) {
  constexpr std::int64_t kFirst = -11644473600;  // 1601-01-01
  constexpr std::int64_t kLast = 253402300799;   // 9999-12-31 23:59:59
  if (t < kFirst || t > kLast) return false;
  std::int64_t days = t / 86400;
  std::int64_t secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, year, month, day);
  static constexpr const char* kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto weekday = static_cast<std::size_t>(((days % 7) + 7) % 7);
  char buffer[40];
  const int n = std::snprintf(buffer, sizeof buffer, "%s, %02u %s %04lld %02lld:%02lld:%02lld GMT", kDays[weekday], day,
                              kMonths[month - 1], static_cast<long long>(year), static_cast<long long>(secs / 3600),
                              static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  out.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

// Hosts a browser treats as secure over plain HTTP, so that a Secure
// cookie set from one comes back: localhost and its subdomains, and the
// loopback addresses (127.0.0.0/8, ::1).
bool is_localhost(std::string_view host) {
  if (text::equals_ignoring_case(host, "localhost") ||
      (host.size() > 10 && text::equals_ignoring_case(host.substr(host.size() - 10), ".localhost")))
    return true;
  if (host == "::1" || host == "[::1]") return true;
  if (host.substr(0, 4) != "127.") return false;
  int dots = 0;
  for (const char c : host) {
    if (c == '.') ++dots;
    else if (c < '0' || c > '9') return false;
  }
  return dots == 3;
}

constexpr std::string_view kDefaultType = "Content-Type: text/html; charset=UTF-8\r\n";
constexpr std::size_t kHeldPiece = std::size_t{64} << 10;  // write() holds up to this much

}  // namespace

SetCookie::SetCookie(std::string_view name, std::string_view value) : name_(name), value_(value) {}

SetCookie SetCookie::removal(std::string_view name) {
  SetCookie cookie(name);
  cookie.max_age(0).expires(0);
  return cookie;
}

SetCookie& SetCookie::path(std::string_view path) {
  path_.assign(path);
  return *this;
}
SetCookie& SetCookie::domain(std::string_view domain) {
  domain_.assign(domain);
  return *this;
}
SetCookie& SetCookie::max_age(std::int64_t seconds) noexcept {
  max_age_ = seconds;
  return *this;
}
SetCookie& SetCookie::expires(std::int64_t seconds_since_epoch) noexcept {
  expires_ = seconds_since_epoch;
  return *this;
}
SetCookie& SetCookie::same_site(SameSite value) noexcept {
  same_site_ = value;
  return *this;
}
SetCookie& SetCookie::secure(bool on) noexcept {
  secure_ = on;
  return *this;
}
SetCookie& SetCookie::http_only(bool on) noexcept {
  http_only_ = on;
  return *this;
}

template <class Change>
errc Response::update(Change&& change, bool local) noexcept {
  try {
    std::string status = status_line_;
    std::string type = type_line_;
    std::string headers = headers_;
    change(status, type, headers);
    // A CGI head needs one of Status, Content-Type and Location, and a body
    // needs a type: until one is set the head carries the default, so that
    // text() is the head that goes out, with a body or without.
    const std::string_view type_out = type.empty() && !local ? kDefaultType : std::string_view(type);
    std::string block;
    block.reserve(status.size() + type_out.size() + headers.size() + 2);
    block.append(status).append(type_out).append(headers).append("\r\n");
    status_line_.swap(status);
    type_line_.swap(type);
    headers_.swap(headers);
    block_.swap(block);
    return errc::ok;
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  }
}

errc Response::check_open() const noexcept {
  if (sent_) return errc::head_already_sent;
  if (local_) return errc::invalid_redirect;
  return errc::ok;
}

namespace {
result<void> done(errc e) {
  if (e == errc::ok) return {};
  return fail(e);
}
}  // namespace

result<void> Response::status(int code) noexcept {
  if (const errc e = check_open(); e != errc::ok) return done(e);
  if (code < 100 || code > 599) return done(errc::invalid_status);
  return done(update([&](std::string& status, std::string&, std::string&) {
    status.assign("Status: ").append(std::to_string(code)).append(" ").append(reason(code)).append("\r\n");
  }));
}

result<void> Response::content_type(std::string_view media_type, std::string_view charset) noexcept {
  if (const errc e = check_open(); e != errc::ok) return done(e);
  bool has_charset = false;
  if (!is_media_type(media_type, has_charset)) return done(errc::invalid_header);
  if (!charset.empty() && (has_charset || !text::is_token(charset))) return done(errc::invalid_header);
  return done(update([&](std::string&, std::string& type, std::string&) {
    type.assign("Content-Type: ").append(media_type);
    if (!charset.empty()) type.append("; charset=").append(charset);
    type.append("\r\n");
  }));
}

result<void> Response::header(std::string_view name, std::string_view value) {
  if (const errc e = check_open(); e != errc::ok) return done(e);
  const auto refused = [name] { return fail(error(errc::invalid_header, std::string(name))); };
  if (!text::is_token(name) || !is_safe_value(value)) return refused();
  // Each has a call of its own that checks it (or, Content-Length, the
  // body decides it): set here it would pass around those checks.
  for (const std::string_view own : {"Status", "Content-Type", "Location", "Set-Cookie", "Content-Length"})
    if (text::equals_ignoring_case(name, own)) return refused();
  return done(update([&](std::string&, std::string&, std::string& headers) {
    headers.append(name).append(": ").append(value).append("\r\n");
  }));
}

result<void> Response::set_cookie(const SetCookie& c) {
  if (const errc e = check_open(); e != errc::ok) return done(e);
  const bool secure = c.secure_.value_or(secure_cookies_);
  std::string expires;
  const auto refused = [&c] { return fail(error(errc::invalid_cookie, c.name_)); };
  if (!text::is_token(c.name_) || !is_cookie_path(c.path_) || !is_cookie_domain(c.domain_)) return refused();
  if (c.expires_ && !http_date(*c.expires_, expires)) return refused();
  // Browsers drop these rather than store them: refused here, where the
  // program can still be told.
  if (c.same_site_ == SameSite::none && !secure) return refused();
  if (text::starts_with_ignoring_case(c.name_, "__Secure-") && !secure) return refused();
  if (text::starts_with_ignoring_case(c.name_, "__Host-") && (!secure || !c.domain_.empty() || c.path_ != "/"))
    return refused();
  const std::string value = cookie_encode(c.value_);
  return done(update([&](std::string&, std::string&, std::string& headers) {
    headers.append("Set-Cookie: ").append(c.name_).append("=").append(value);
    if (!c.path_.empty()) headers.append("; Path=").append(c.path_);
    if (!c.domain_.empty()) headers.append("; Domain=").append(c.domain_);
    if (c.max_age_) headers.append("; Max-Age=").append(std::to_string(*c.max_age_));
    if (c.expires_) headers.append("; Expires=").append(expires);
    if (secure) headers.append("; Secure");
    if (c.http_only_) headers.append("; HttpOnly");
    switch (c.same_site_) {
      case SameSite::lax: headers.append("; SameSite=Lax"); break;
      case SameSite::strict: headers.append("; SameSite=Strict"); break;
      case SameSite::none: headers.append("; SameSite=None"); break;
      case SameSite::unset: break;
    }
    headers.append("\r\n");
  }));
}

result<void> Response::redirect(std::string_view absolute_uri, int code) noexcept {
  if (const errc e = check_open(); e != errc::ok) return done(e);
  if (code < 300 || code > 399) return done(errc::invalid_status);
  if (location_ || !has_scheme(absolute_uri) || has_space_or_control(absolute_uri) || !names_a_host(absolute_uri))
    return done(errc::invalid_redirect);
  const errc e = update([&](std::string& status, std::string&, std::string& headers) {
    status.assign("Status: ").append(std::to_string(code)).append(" ").append(reason(code)).append("\r\n");
    headers.append("Location: ").append(absolute_uri).append("\r\n");
  });
  if (e == errc::ok) location_ = true;
  return done(e);
}

result<void> Response::local_redirect(std::string_view path) noexcept {
  if (const errc e = check_open(); e != errc::ok) return done(e);
  // A body write() holds would go out after the Location, which the
  // server answers with a page of its own.
  if (!status_line_.empty() || !type_line_.empty() || !headers_.empty() || any_body_)
    return done(errc::invalid_redirect);
  if (path.empty() || path[0] != '/' || (path.size() > 1 && path[1] == '/') || has_space_or_control(path) ||
      path.find_first_of("\\#") != std::string_view::npos)
    return done(errc::invalid_redirect);
  const errc e = update(
      [&](std::string&, std::string&, std::string& headers) {
        headers.append("Location: ").append(path).append("\r\n");
      },
      true);
  if (e == errc::ok) local_ = location_ = true;
  return done(e);
}

std::string_view Response::text() const noexcept { return block_; }

Response::Response(const Request& request) noexcept
    : head_only_(request.is_head()), secure_cookies_(request.is_https() || is_localhost(request.get("SERVER_NAME"))) {}

Response Response::for_current() {
  Response response;
  response.head_only_ = platform::env("REQUEST_METHOD") == "HEAD";
  response.secure_cookies_ = text::is_https(platform::env("HTTPS")) || is_localhost(platform::env("SERVER_NAME"));
  return response;
}

Response::~Response() {
  if (!held_.empty() || (wrote_ && !sent_)) (void)flush();
}

Response::Response(Response&& other) noexcept { take(other); }

Response& Response::operator=(Response&& other) noexcept {
  if (this != &other) {
    if (!held_.empty() || (wrote_ && !sent_)) (void)flush();
    take(other);
  }
  return *this;
}

void Response::take(Response& other) noexcept {
  status_line_ = std::move(other.status_line_);
  type_line_ = std::move(other.type_line_);
  headers_ = std::move(other.headers_);
  block_ = std::move(other.block_);
  held_ = std::move(other.held_);
  location_ = other.location_;
  local_ = other.local_;
  sent_ = other.sent_;
  head_only_ = other.head_only_;
  secure_cookies_ = other.secure_cookies_;
  any_body_ = other.any_body_;
  wrote_ = other.wrote_;
  moved_from_ = other.moved_from_;
  // What is left behind writes nothing, now or when it goes: every call
  // on it is head_already_sent.
  other.held_.clear();
  other.wrote_ = false;
  other.sent_ = true;
  other.moved_from_ = true;
}

result<void> Response::out(std::string_view body) noexcept {
  if (moved_from_) return done(errc::head_already_sent);
  if (local_ && !body.empty()) return done(errc::invalid_redirect);
  if (!body.empty()) any_body_ = true;
  if (head_only_) body = {};
  try {
    if (sent_) {
      // The head went: what is held, then the body, with no copy of a
      // large one.
      if (!held_.empty() && held_.size() + body.size() <= kOneWriteBody) {
        held_.append(body);
        body = {};
      }
      const bool ok = (held_.empty() || platform::write_output(held_)) && (body.empty() || platform::write_output(body));
      held_.clear();
      return done(ok ? errc::ok : errc::write_failed);
    }
    const bool with_body = held_.size() + body.size() <= kOneWriteBody;
    std::string first;
    first.reserve(block_.size() + held_.size() + (with_body ? body.size() : 0));
    first.append(block_).append(held_);
    if (with_body) first.append(body);
    sent_ = true;
    held_.clear();
    if (!platform::write_output(first)) return done(errc::write_failed);
    if (!with_body && !platform::write_output(body)) return done(errc::write_failed);
    return {};
  } catch (const std::bad_alloc&) {
    return done(errc::out_of_memory);
  }
}

result<void> Response::send(std::string_view body) noexcept { return out(body); }

result<void> Response::flush() noexcept { return out({}); }

result<void> Response::write(std::string_view body) noexcept {
  if (moved_from_) return done(errc::head_already_sent);
  if (local_ && !body.empty()) return done(errc::invalid_redirect);
  wrote_ = true;
  if (!body.empty()) any_body_ = true;
  if (head_only_ || body.empty()) return {};
  if (held_.size() + body.size() >= kHeldPiece) return out(body);
  try {
    held_.append(body);
  } catch (const std::bad_alloc&) {
    return done(errc::out_of_memory);
  }
  return {};
}

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
