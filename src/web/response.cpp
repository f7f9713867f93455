#include <cgiecho/web/response.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include <cgiecho/platform/platform.h>
#include <cgiecho/web/request.h>

#include "text/ascii.h"
#include "text/decimal.h"
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
  return !text::every_byte(s, [](unsigned char c) { return c != ' ' && !is_control(c); });
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
  if (!c.is_kept(secure, expires)) return fail(error(errc::invalid_cookie, c.name_));
  const std::string value = cookie_encode(c.value_);
  return done(update([&](std::string&, std::string&, std::string& headers) {
    c.append_line(headers, value, expires, secure);
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
}  // namespace cgiecho::web
