#include <cgiecho/web/response.h>

#include "text/ascii.h"
#include "web/http_date.h"

namespace cgiecho::web {
namespace {

bool is_cookie_path(std::string_view p) {
  return text::every_byte(p, [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != ';'; });
}

bool is_cookie_domain(std::string_view d) {
  return text::every_byte(d, [](unsigned char c) { return text::is_alnum(c) || c == '-' || c == '.'; });
}

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

bool SetCookie::is_kept(bool secure, std::string& expires) const {
  if (!text::is_token(name_) || !is_cookie_path(path_) || !is_cookie_domain(domain_)) return false;
  if (expires_ && !http_date(*expires_, expires)) return false;
  // Browsers drop these rather than store them: refused here, where the
  // program can still be told.
  if (same_site_ == SameSite::none && !secure) return false;
  if (text::starts_with_ignoring_case(name_, "__Secure-") && !secure) return false;
  return !text::starts_with_ignoring_case(name_, "__Host-") || (secure && domain_.empty() && path_ == "/");
}

void SetCookie::append_line(std::string& headers, std::string_view value, std::string_view expires,
                            bool secure) const {
  headers.append("Set-Cookie: ").append(name_).append("=").append(value);
  if (!path_.empty()) headers.append("; Path=").append(path_);
  if (!domain_.empty()) headers.append("; Domain=").append(domain_);
  if (max_age_) headers.append("; Max-Age=").append(std::to_string(*max_age_));
  if (expires_) headers.append("; Expires=").append(expires);
  if (secure) headers.append("; Secure");
  if (http_only_) headers.append("; HttpOnly");
  switch (same_site_) {
    case SameSite::lax: headers.append("; SameSite=Lax"); break;
    case SameSite::strict: headers.append("; SameSite=Strict"); break;
    case SameSite::none: headers.append("; SameSite=None"); break;
    case SameSite::unset: break;
  }
  headers.append("\r\n");
}

}  // namespace cgiecho::web
