/// @file
/// The CGI response head, built in memory and written once, and HTML
/// escaping. Nothing here rewrites what a program gives it: a value that
/// could break the head (CR, LF, NUL, a name that is not a token) is
/// refused with an error, and the head stays as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <cgiecho/web/errors.h>

namespace cgiecho::web {

class Request;

/// The SameSite attribute of a cookie; unset leaves it out.
enum class SameSite { lax, strict, none, unset };

/// A Set-Cookie header, built with named setters:
/// `web::SetCookie("theme", "dark").path("/").max_age(86400)`. The value
/// may hold any bytes: it is written with cookie_encode, and
/// Request::cookie() gives it back the same. HttpOnly and SameSite=Lax are
/// on unless turned off. Secure follows the response unless set: on for a
/// Response made for a request that came over HTTPS or to localhost, its
/// subdomains or a loopback address (which browsers treat as secure
/// browsers treat as secure), and for a Response made without a request;
/// off for a plain HTTP request to any other host, because a browser drops
/// a Secure cookie set over plain HTTP and the cookie would never come back.
/// The setters check nothing; Response::set_cookie checks everything.
class SetCookie {
 public:
  /// May throw std::bad_alloc (it keeps copies).
  explicit SetCookie(std::string_view name, std::string_view value = {});
  /// A cookie that deletes the one of that name (and path and domain: a
  /// browser deletes only an exact match): an empty value, Max-Age=0 and an
  /// Expires in the past.
  static SetCookie removal(std::string_view name);

  SetCookie& path(std::string_view path);      ///< omitted when empty
  SetCookie& domain(std::string_view domain);  ///< omitted when empty
  /// Seconds the cookie lives; 0 deletes it. Omitted unless set.
  SetCookie& max_age(std::int64_t seconds) noexcept;
  /// When the cookie ends, in seconds since the epoch, written as an HTTP
  /// date ("Expires=Wed, 21 Oct 2015 07:28:00 GMT"). Omitted unless set.
  SetCookie& expires(std::int64_t seconds_since_epoch) noexcept;
  /// SameSite; Lax unless set.
  SetCookie& same_site(SameSite value) noexcept;
  /// Secure, in place of the response's default.
  SetCookie& secure(bool on) noexcept;
  /// HttpOnly; on unless turned off.
  SetCookie& http_only(bool on) noexcept;

  /// The name, as given.
  const std::string& name() const noexcept { return name_; }
  const std::string& value() const noexcept { return value_; }  ///< as given, not encoded

 private:
  friend class Response;
  // Whether a browser would keep the cookie sent with Secure `secure`
  // (Response::set_cookie's list); `expires` gets its date.
  bool is_kept(bool secure, std::string& expires) const;
  // The Set-Cookie line, `value` encoded and `expires` as is_kept wrote it.
  void append_line(std::string& headers, std::string_view value, std::string_view expires, bool secure) const;
  std::string name_;
  std::string value_;
  std::string path_;
  std::string domain_;
  std::optional<std::int64_t> max_age_;
  std::optional<std::int64_t> expires_;
  SameSite same_site_ = SameSite::lax;
  std::optional<bool> secure_;  // unset: the response decides
  bool http_only_ = true;
};

/// The CGI response: the head built in memory (every value checked, none
/// rewritten), then the head and body written in as few writes as the body
/// allows.
class Response {
 public:
  /// A response that sends its body, whatever the request was: for
  /// programs that answer no request or know it is not HEAD. Cookies are
  /// Secure unless told otherwise.
  Response() = default;
  /// The answer to `request`: a HEAD request gets the header block alone.
  /// send(), write() and flush() then write the same head as for GET (the
  /// default Content-Type included, and no Content-Length added) and no
  /// byte of any body, and succeed as they would for GET. Cookies are
  /// Secure by default when the request came over HTTPS or to localhost.
  /// Nothing of `request` is kept but those facts.
  explicit Response(const Request& request) noexcept;
  /// The answer to the request in hand when there is no Request to make it
  /// from (Request::current() refused it): the same facts, read from the
  /// request's variables, so a refused HEAD request gets no body either.
  static Response for_current();
  /// Writes out what write() holds, as flush() would; errors are lost here,
  /// so a program that cares calls flush() itself.
  ~Response();
  Response(const Response&) = delete;
  Response& operator=(const Response&) = delete;
  /// Moves the head and what write() holds; the Response moved from then
  /// refuses every call with errc::head_already_sent and writes nothing.
  Response(Response&&) noexcept;
  /// The same as the move constructor, after this one flushes as its
  /// destructor would.
  Response& operator=(Response&&) noexcept;

  /// 100 to 599; the reason phrase comes from the standard table ("Status:
  /// 404 Not Found"), or "Status: 299 Unknown" where it has none.
  [[nodiscard]] result<void> status(int code) noexcept;
  /// "Content-Type: <media_type>; charset=<charset>", replacing any type
  /// given before. The media type is type "/" subtype (tokens), optionally
  /// followed by parameters; charset empty: none is added, else it is a
  /// token and the media type must not carry a charset of its own. Until a
  /// type is set the head carries "Content-Type: text/html; charset=UTF-8"
  /// (except after a local redirect, where Location is the only header).
  [[nodiscard]] result<void> content_type(std::string_view media_type, std::string_view charset = "UTF-8") noexcept;
  /// Any header whose name is a token and whose value has no CR, LF or
  /// NUL. Repeated names are kept in order. Status, Content-Type,
  /// Location, Set-Cookie and Content-Length (any case) are refused
  /// (errc::invalid_header, the name as detail): they have their own
  /// checked calls, or (Content-Length) the body decides it.
  [[nodiscard]] result<void> header(std::string_view name, std::string_view value);
  /// Refused (errc::invalid_cookie, the cookie's name as detail) where a
  /// browser would drop the cookie or the header would break: a name that
  /// is not a token, SameSite=None without Secure, a "__Secure-" name
  /// without Secure, a "__Host-" name without Secure, with a Domain, or
  /// with a Path other than "/"; path and domain hold printable ASCII only
  /// (no ";"), the domain letters, digits, "-" and "." only.
  [[nodiscard]] result<void> set_cookie(const SetCookie& cookie);
  /// A redirect to an absolute URI (a scheme is required; no spaces or
  /// control bytes; Request::self_url() makes one to the program itself):
  /// Location, and `status` (300 to 399; 303 after a POST) in place of any
  /// status set before. One Location per response. Where the URI has an
  /// authority ("//" after the colon, which http, https, ws, wss and ftp
  /// always need), its host must not be empty and its port, if any, must
  /// be a number up to 65535: "http://:8080/x", "http:///x", "https://"
  /// and "" are errc::invalid_redirect ("file:///x" and "mailto:" pass).
  [[nodiscard]] result<void> redirect(std::string_view absolute_uri, int status = 302) noexcept;
  /// A local redirect (the server answers with that path itself): the path
  /// must start with "/" but not "//", and holds no spaces, control bytes,
  /// "\\" or "#" (a browser that got it would leave the site). Location is
  /// then the only header, so this fails once anything else was set, and
  /// anything else, a body included, fails after it: errc::invalid_redirect.
  [[nodiscard]] result<void> local_redirect(std::string_view path) noexcept;

  /// The header block as it stands, blank line included: exactly the
  /// bytes that go out before the body.
  std::string_view text() const noexcept;

  /// The head and `body` through the platform's standard output, in one
  /// write where the body fits (up to 1 MiB; past that, two writes and no
  /// copy), after anything write() holds. The head goes out once:
  /// errc::head_already_sent for a head set after it went.
  /// errc::write_failed when not every byte went out (the reader went
  /// away): what did go out cannot be taken back.
  [[nodiscard]] result<void> send(std::string_view body = {}) noexcept;
  /// More of the body, held and written in pieces of 64 KiB (the head
  /// first); flush() writes out what is held. errc::write_failed as for
  /// send; errc::out_of_memory when it cannot be held.
  [[nodiscard]] result<void> write(std::string_view body) noexcept;
  /// The head, if it has not gone, and every byte write() holds.
  [[nodiscard]] result<void> flush() noexcept;

 private:
  // Runs change(status, type, headers) on copies of the three parts and
  // takes them, and the block made of them, only when all of it succeeded.
  template <class Change>
  errc update(Change&& change, bool local = false) noexcept;
  errc check_open() const noexcept;
  // Writes the head if it has not gone, what write() holds, then `body`.
  result<void> out(std::string_view body) noexcept;
  void take(Response& other) noexcept;

  std::string status_line_;   // "Status: 404 Not Found\r\n", or empty
  std::string type_line_;     // "Content-Type: ...\r\n", or empty
  std::string headers_;       // every other line, in the order given
  std::string block_ = "Content-Type: text/html; charset=UTF-8\r\n\r\n";  // the head as it goes out
  std::string held_;          // body bytes write() holds
  bool location_ = false;     // a redirect's Location is among the headers
  bool local_ = false;        // a local redirect: Location is the only header
  bool sent_ = false;
  bool head_only_ = false;    // the answer to a HEAD request: no body goes out
  bool secure_cookies_ = true;  // Secure on cookies that do not say
  bool any_body_ = false;       // a body byte was given (HEAD included): it needs a type
  bool wrote_ = false;          // write() was called: the destructor finishes the answer
  bool moved_from_ = false;     // its head and body went to another Response
};

/// HTML escaping of "&", "<", ">", "\"" and "'" for text and quoted
/// attribute values. Throws std::bad_alloc when the result cannot be had,
/// as any function that returns a std::string may, and nothing else.
std::string html_escape(std::string_view text);
/// Percent-encoding of a URL component (a query field's name or value, a
/// path segment): every byte but A-Z a-z 0-9 "-" "." "_" "~" becomes %XX
/// (upper-case hex), a space included, so the result reads back the same
/// through any form or URL decoder.
std::string url_encode(std::string_view bytes);
/// A cookie value that any bytes can be kept in: every byte outside
/// RFC 6265's cookie-octets, and "%" itself, becomes %XX. Bytes that are
/// cookie-octets already come out as they went in.
std::string cookie_encode(std::string_view bytes);
/// The reverse: each "%" and two hex digits (either case) becomes that
/// byte; every other byte, a "%" without two hex digits included, is kept.
std::string cookie_decode(std::string_view value);

/// The same, appended to `out`, for a program that must not throw. Sizes are counted in 64 bits, so no text wraps the sum
/// (a text of quotes grows six times, past 4 GiB from about 716 MB on a
/// 32-bit system), and the room is taken in one step before any byte is
/// appended.
///
/// Appends the escaped text to `out`. errc::out_of_memory, with `out`
/// unchanged, when the result does not fit in a std::string or memory for
/// it cannot be had; never throws.
[[nodiscard]] result<void> html_escape(std::string_view text, std::string& out) noexcept;

/// The bytes html_escape adds to `text` (each entity's length less the one
/// byte it replaces), in 64 bits.
std::uint64_t html_escape_growth(std::string_view text) noexcept;
/// Whether a string of `have` bytes can take `text_size` more plus
/// `growth` (html_escape_growth) without passing `max_size` (a
/// std::string's max_size()), with no sum that can wrap: the room check of
/// html_escape, apart so that sizes no test can allocate are tried at their
/// boundaries.
bool escape_fits(std::uint64_t have, std::uint64_t text_size, std::uint64_t growth, std::uint64_t max_size) noexcept;

}  // namespace cgiecho::web
