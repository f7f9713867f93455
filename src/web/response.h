// The CGI response head, built in memory and written once, and HTML
// escaping. Nothing here rewrites what a program gives it: a value that
// could break the head (CR, LF, NUL, a name that is not a token) is
// refused with an error, and the head stays as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "web/errors.h"

namespace cgiecho::web {

enum class SameSite { lax, strict, none, unset };

// A Set-Cookie header. The defaults are the safe ones.
struct SetCookie {
  std::string_view name;   // a token, not empty
  std::string_view value;  // cookie-octets (RFC 6265), optionally in double quotes
  std::string_view path;   // omitted when empty
  std::string_view domain; // omitted when empty
  std::int64_t max_age = -1;  // omitted when negative; 0 deletes the cookie
  bool secure = true;
  bool http_only = true;
  SameSite same_site = SameSite::lax;
};

class ResponseHead {
 public:
  // 100 to 599; the reason phrase comes from the standard table ("Status:
  // 404 Not Found"), or "Status: 299 Unknown" where it has none.
  errc status(int code) noexcept;
  // "Content-Type: text/html; charset=UTF-8" by default when a body is sent
  // and no type was given. charset empty: none is added.
  errc content_type(std::string_view media_type, std::string_view charset = "UTF-8") noexcept;
  // Any header whose name is a token and whose value has no CR, LF or NUL.
  // Repeated names are kept in order.
  errc header(std::string_view name, std::string_view value) noexcept;
  errc set_cookie(const SetCookie& cookie) noexcept;
  // A redirect to an absolute URI (a scheme is required): Location and,
  // unless a status was set, "Status: 302 Found".
  errc redirect(std::string_view absolute_uri, int status = 302) noexcept;
  // A local redirect (the server answers with that path itself): the path
  // must start with "/"; Location is then the only header, so this fails
  // once anything else was set, and anything else fails after it.
  errc local_redirect(std::string_view path) noexcept;

  // The header block as it stands, blank line included.
  std::string_view text() const noexcept;

  // The head and `body` through the platform's standard output, in one
  // write where the body fits (up to 1 MiB; past that, two writes and no
  // copy). The head goes out once: then errc::head_already_sent.
  errc send(std::string_view body = {}) noexcept;
  // More of the body after send.
  errc write(std::string_view body) noexcept;

 private:
  // implementation's own
};

// HTML escaping of "&", "<", ">", "\"" and "'" for text and quoted
// attribute values.
errc html_escape(std::string_view text, std::string& out) noexcept;  // appends to out
std::string html_escape(std::string_view text);                       // throws std::bad_alloc only

}  // namespace cgiecho::web
