// The CGI response head, built in memory and written once, and HTML
// escaping. Nothing here rewrites what a program gives it: a value that
// could break the head (CR, LF, NUL, a name that is not a token) is
// refused with an error, and the head stays as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <cgiecho/web/errors.h>

namespace cgiecho::web {

class Request;

enum class SameSite { lax, strict, none, unset };

// A Set-Cookie header. The defaults are the safe ones. Every member has
// an initializer, so {"name", "value"} leaves the rest at its default
// without a warning.
struct SetCookie {
  std::string_view name{};    // a token, not empty
  std::string_view value{};   // cookie-octets (RFC 6265), optionally in double quotes
  std::string_view path{};    // omitted when empty
  std::string_view domain{};  // omitted when empty
  std::int64_t max_age = -1;  // omitted when negative; 0 deletes the cookie
  bool secure = true;
  bool http_only = true;
  SameSite same_site = SameSite::lax;
};

class ResponseHead {
 public:
  // A head that sends its body, whatever the request was: for programs
  // that answer no request or know it is not HEAD.
  ResponseHead() = default;
  // A head for the answer to `request`: a HEAD request gets the header
  // block alone. send() and write() then write the same head as for GET
  // (the default Content-Type included, and no Content-Length added) and
  // no byte of any body, and say ok as they would for GET; every check on
  // the body (after a local redirect) stays the same. Only the method is
  // read, here: the head keeps nothing of `request`.
  explicit ResponseHead(const Request& request) noexcept;

  // 100 to 599; the reason phrase comes from the standard table ("Status:
  // 404 Not Found"), or "Status: 299 Unknown" where it has none.
  errc status(int code) noexcept;
  // "Content-Type: <media_type>; charset=<charset>", replacing any type
  // given before. The media type is type "/" subtype (tokens), optionally
  // followed by parameters; charset empty: none is added, else it is a
  // token and the media type must not carry a charset of its own.
  // send() adds "Content-Type: text/html; charset=UTF-8" when a body goes
  // out without a type (or nothing at all was set), except after a local
  // redirect.
  errc content_type(std::string_view media_type, std::string_view charset = "UTF-8") noexcept;
  // Any header whose name is a token and whose value has no CR, LF or NUL.
  // Repeated names are kept in order. Status, Content-Type and Location
  // (any case) have their own calls above and below, which check them, so
  // they are refused here.
  errc header(std::string_view name, std::string_view value) noexcept;
  // Refused (errc::invalid_cookie) where a browser would drop the cookie
  // or the header would break: SameSite=None without Secure, a "__Secure-"
  // name without Secure, a "__Host-" name without Secure, with a Domain, or
  // with a Path other than "/"; path and domain hold printable ASCII only
  // (no ";"), the domain letters, digits, "-" and "." only.
  errc set_cookie(const SetCookie& cookie) noexcept;
  // A redirect to an absolute URI (a scheme is required; no spaces or
  // control bytes): Location, and `status` (300 to 399) in place of any
  // status set before. One Location per response.
  errc redirect(std::string_view absolute_uri, int status = 302) noexcept;
  // A local redirect (the server answers with that path itself): the path
  // must start with "/" but not "//", and holds no spaces, control bytes,
  // "\\" or "#" (a browser that got it would leave the site). Location is
  // then the only header, so this fails once anything else was set, and
  // anything else, a body included, fails after it: errc::invalid_redirect.
  errc local_redirect(std::string_view path) noexcept;

  // The header block as it stands, blank line included.
  std::string_view text() const noexcept;

  // The head and `body` through the platform's standard output, in one
  // write where the body fits (up to 1 MiB; past that, two writes and no
  // copy). The head goes out once: then errc::head_already_sent, also
  // after a send that failed. errc::write_failed when not every byte went
  // out (the reader went away): what did go out cannot be taken back.
  errc send(std::string_view body = {}) noexcept;
  // More of the body after send; before it, the same as send(body).
  // errc::write_failed as for send.
  errc write(std::string_view body) noexcept;

 private:
  // Runs change(status, type, headers) on copies of the three parts and
  // takes them, and the block made of them, only when all of it succeeded.
  template <class Change>
  errc update(Change&& change) noexcept;
  errc check_open() const noexcept;

  std::string status_line_;   // "Status: 404 Not Found\r\n", or empty
  std::string type_line_;     // "Content-Type: ...\r\n", or empty
  std::string headers_;       // every other line, in the order given
  std::string block_ = "\r\n";  // the three above and the blank line
  bool location_ = false;     // a redirect's Location is among the headers
  bool local_ = false;        // a local redirect: Location is the only header
  bool sent_ = false;
  bool head_only_ = false;    // the answer to a HEAD request: no body goes out
};

// HTML escaping of "&", "<", ">", "\"" and "'" for text and quoted
// attribute values. Sizes are counted in 64 bits, so no text wraps the sum
// (a text of quotes grows six times, past 4 GiB from about 716 MB on a
// 32-bit system), and the room is taken in one step before any byte is
// appended.
//
// Appends the escaped text to `out`. errc::out_of_memory, with `out`
// unchanged, when the result does not fit in a std::string or memory for
// it cannot be had; never throws.
errc html_escape(std::string_view text, std::string& out) noexcept;
// The escaped text as a new string. Throws std::bad_alloc where the form
// above says out_of_memory, as any function that returns a std::string
// may, and nothing else; a program that must not throw uses the form
// above.
std::string html_escape(std::string_view text);

// The bytes html_escape adds to `text` (each entity's length less the one
// byte it replaces), in 64 bits.
std::uint64_t html_escape_growth(std::string_view text) noexcept;
// Whether a string of `have` bytes can take `text_size` more plus
// `growth` (html_escape_growth) without passing `max_size` (a
// std::string's max_size()), with no sum that can wrap: the room check of
// html_escape, apart so that sizes no test can allocate are tried at their
// boundaries.
bool escape_fits(std::uint64_t have, std::uint64_t text_size, std::uint64_t growth, std::uint64_t max_size) noexcept;

}  // namespace cgiecho::web
