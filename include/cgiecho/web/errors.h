/// @file
/// What went wrong, as a value: the web layer never throws on the request
/// path. Each error has a stable code (the text programs and the inspector
/// print), the HTTP status a program answers with, and a message; a
/// web::error adds what else is known (the rule a body broke and where, the
/// field, the system's reason).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include <tl/expected.hpp>

namespace cgiecho::web {

/// The kinds of error. A call that returns one is never to be ignored.
enum class [[nodiscard]] errc {
  ok,  ///< no error
  // The client's request.
  bad_content_length,     ///< 400: CONTENT_LENGTH is not a plain decimal number
  body_truncated,         ///< 400: fewer body bytes than CONTENT_LENGTH
  malformed_multipart,    ///< 400: a multipart body that breaks its rules
  body_too_large,         ///< 413: the body, or the form data, over its limit
  too_many_fields,        ///< 413: fields of a url-encoded body
  too_many_query_fields,  ///< 414: fields of the query string (code "too_many_fields")
  too_many_parts,         ///< 413
  too_many_files,         ///< 413
  file_too_large,         ///< 413: one file part's data
  part_header_too_large,  ///< 413: one part's header block
  too_many_cookies,       ///< 431: cookies over their limit
  // The server's side.
  invalid_limit,     ///< 500: a limit variable that is not a plain decimal number
  out_of_memory,     ///< 500: memory for the request could not be had
  temp_file_failed,  ///< 500: a temp file could not be made or written
  read_failed,       ///< 500: the body could not be read (not the client's end)
  // A program's own mistakes while building a response or keeping a file.
  invalid_status,        ///< a status outside 100 to 599
  invalid_header,        ///< a header name that is not a token, or a value with CR, LF or NUL
  invalid_cookie,        ///< a cookie name, value or attribute that would break the header
  invalid_redirect,      ///< a redirect target without a scheme, or a local one not a path
  head_already_sent,     ///< the head goes out once
  keep_failed,           ///< an upload could not be moved or copied into place
  // The server's side again, added after the others so that no value moves.
  write_failed,  ///< 500: the response could not be written whole (the reader went away)
  // A field a program reads as a typed value (400: the client's form).
  field_missing,       ///< absent, or empty where a value is required
  field_not_a_number,  ///< not a number of the kind asked for
  field_out_of_range,  ///< a number outside the range asked for
  field_invalid,       ///< a value the program's own rule refuses (FormErrors::add)
};

/// "body_too_large", ...; "ok" for errc::ok.
std::string_view code_name(errc e) noexcept;
/// The status a program answers with: 200 for ok, 400, 413, 414, 431 or 500.
int http_status(errc e) noexcept;
/// One sentence for people, without the request's bytes in it.
std::string_view message(errc e) noexcept;

/// The category of web::errc as std::error_code: its name() is
/// "cgiecho.web", message(int) is message(errc), and each code is
/// equivalent to the std::errc nearest to it where there is one
/// (out_of_memory to std::errc::not_enough_memory).
const std::error_category& web_category() noexcept;
/// errc as a std::error_code, so `std::error_code ec = errc::file_too_large;` works.
std::error_code make_error_code(errc e) noexcept;

/// An errc and where it applies. Copies are cheap when there is no detail;
/// an error built without one never allocates.
class [[nodiscard]] error {
 public:
  /// errc::ok: no error (a default error is what a result holds on no path
  /// of the library; it lets containers of errors be built).
  error() noexcept = default;
  /// An error with no detail.
  error(errc code) noexcept : code_(code) {}  // NOLINT: implicit, so `return errc::x;` builds a result
  /// An error with a detail: for errc::malformed_multipart the rule the
  /// body broke ("a part's header line has no colon") and the byte offset
  /// in the body where it did; for a field error the field's name; for
  /// errc::invalid_limit the variable's name; for a response call the
  /// header or cookie name refused. May throw std::bad_alloc.
  error(errc code, std::string detail, std::optional<std::uint64_t> offset = std::nullopt);
  /// errc::keep_failed (or another error of the system's) with the
  /// system's reason: errno on Linux, GetLastError() on Windows.
  error(errc code, std::error_code system) noexcept : code_(code), system_(system) {}

  /// The kind of error.
  errc code() const noexcept { return code_; }
  /// make_error_code(code()).
  std::error_code error_code() const noexcept { return make_error_code(code_); }
  /// http_status(code()).
  int status() const noexcept { return http_status(code_); }
  /// "file_too_large", ...: code_name(code()).
  std::string_view code_name() const noexcept { return web::code_name(code_); }
  /// The detail described at the constructor; empty when there is none.
  const std::string& detail() const noexcept { return detail_; }
  /// The byte offset in the body, for a malformed body.
  std::optional<std::uint64_t> offset() const noexcept { return offset_; }
  /// The system's reason; empty (value 0) when the system gave none.
  std::error_code system() const noexcept { return system_; }
  /// A program's own sentence for a field it refused (FormErrors::add);
  /// message() then gives it after the field's name.
  const std::string& note() const noexcept { return note_; }
  /// The same error with a program's own sentence. May throw std::bad_alloc.
  error with_note(std::string note) const;
  /// One line for people and logs: the message, then the detail ("age is
  /// not a number" for a field, "email: needs an @" with a note, "... (a part's header line has no colon, at
  /// byte 112)" for a body) and the system's message. No byte of the
  /// request is in it but a field's name that the program asked for.
  std::string message() const;

  friend bool operator==(const error& a, errc b) noexcept { return a.code_ == b; }
  friend bool operator!=(const error& a, errc b) noexcept { return a.code_ != b; }

 private:
  errc code_ = errc::ok;
  std::string detail_;
  std::optional<std::uint64_t> offset_;
  std::error_code system_;
  std::string note_;
};

/// What every call that can fail gives: the value, or the error.
/// `if (!r) return r.error().status();`, `*r`, `r->`, `r.value_or(...)`.
template <class T>
using result = tl::expected<T, error>;

/// The error of a result, to return as one: `return web::fail(errc::x);`.
inline tl::unexpected<error> fail(error e) { return tl::unexpected<error>(std::move(e)); }

}  // namespace cgiecho::web

template <>
struct std::is_error_code_enum<cgiecho::web::errc> : std::true_type {};
