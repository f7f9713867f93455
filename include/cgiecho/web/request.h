/// @file
/// One request as a program written today sees it: parameters, the query's
/// fields, the form (url-encoded or multipart), uploaded files and cookies,
/// all owned by the Request and checked against Limits. Every view a
/// Request hands out lives as long as the Request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/web/cookies.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/form.h>
#include <cgiecho/web/limits.h>
#include <cgiecho/web/upload.h>

namespace cgiecho::platform {
class TempFile;
}

namespace cgiecho::web {

/// The body of a request that was not a form, wherever the Request holds
/// it: in memory, or past limits.memory in a private temp file. A view of
/// the Request that lives as long as it does; each stream keeps its own
/// place, so any number may read at once.
class BodyStream {
 public:
  BodyStream() noexcept = default;  ///< an empty body

  /// The body's size in bytes.
  std::uint64_t size() const noexcept { return size_; }
  /// Where the next read starts.
  std::uint64_t position() const noexcept { return position_; }
  /// Up to `count` bytes from where the last read ended, into `buffer`:
  /// the bytes read (fewer only at the end; 0 there). errc::temp_file_failed
  /// when the temp file cannot be read; the place then stays where it was.
  [[nodiscard]] result<std::size_t> read(char* buffer, std::size_t count) noexcept;
  /// Back to the first byte.
  void rewind() noexcept { position_ = 0; }

 private:
  friend class Request;
  BodyStream(std::string_view memory, const platform::TempFile* file, std::uint64_t size) noexcept
      : memory_(memory), file_(file), size_(size) {}

  std::string_view memory_;
  const platform::TempFile* file_ = nullptr;  // when the body is in a temp file
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

/// One request, read and checked: see Request::current().
class Request {
 public:
  /// The request in hand, read with the limits the server sets: each
  /// CGIECHO_MAX_* / CGIECHO_MEMORY / CGIECHO_READ_OFF variable from the
  /// request (CGI's environment, or a FastCGI request's parameters), else
  /// under FastCGI from the responder's own environment, else the default
  /// (see limits_from). A limit variable that is not a plain decimal number
  /// is errc::invalid_limit with the variable's name as detail.
  ///
  /// The CGI environment and standard input, or under serve() the FastCGI
  /// request's parameters and input, are checked as check_request says
  /// before a byte of the body is read. The body (CONTENT_LENGTH bytes) is
  /// read and parsed by its Content-Type: url-encoded and multipart forms;
  /// any other body is kept as it is (body(), body_stream()), in memory up
  /// to limits.memory bytes and otherwise in a private temp file. A
  /// multipart body streams: file data over limits.memory, counted over
  /// every file of the request, goes to private temp files.
  ///
  /// On an error the refusal is logged on standard error and up to
  /// limits.read_off bytes of the body left are read off (see refuse), so
  /// the program can answer at once with error().status(). Never throws.
  [[nodiscard]] static result<Request> current() noexcept;
  /// The same with the program's own limits; the server's variables are
  /// not read.
  [[nodiscard]] static result<Request> current(const Limits& limits) noexcept;
  /// The same with the program's defaults in place of the library's: each
  /// limit the server sets (as for current()) wins, and every other is the
  /// program's. For a program that wants less than the library allows
  /// (`defaults.max_body = 1 << 20`) and the operator's word where there is
  /// one. A limit variable that is not a plain decimal number is
  /// errc::invalid_limit, as for current(). current() is this with
  /// `Limits{}`.
  [[nodiscard]] static result<Request> current_with_defaults(const Limits& defaults) noexcept;
  /// The same from explicit variables and body, for tests and programs
  /// that get requests another way. CONTENT_LENGTH, if among the
  /// variables, must agree with the body (fewer bytes:
  /// errc::body_truncated); without it the body is what was given. Nothing
  /// is logged. Never throws.
  [[nodiscard]] static result<Request> from_parts(Variables variables, std::string body,
                                                  const Limits& limits = {}) noexcept;
  /// For a request the program refuses without reading it (a setting of
  /// its own that is wrong, say): logs the refusal as current() does and
  /// reads off up to limits.read_off of the body, so that servers that pass
  /// an answer on only once the body is taken pass this one on too.
  static void refuse_current(const error& e, const Limits& limits = {}) noexcept;

  /// An empty request: no variables, no body. What a moved-from one holds.
  Request() noexcept;
  /// Moves the request; the one moved from is empty.
  Request(Request&&) noexcept;
  /// Moves the request; the one moved from is empty.
  Request& operator=(Request&&) noexcept;
  ~Request();

  // -- Fields, cookies, files: decoded copies, first of a name or all ---

  /// The first query field of that name, "+" and %XX decoded; nullopt when
  /// there is none (a field sent empty is ""). Names compare byte for byte
  /// after decoding.
  std::optional<std::string> arg(std::string_view name) const;
  /// Every query field of that name, decoded, in the order sent.
  std::vector<std::string> args(std::string_view name) const;
  /// The first form field of that name: a url-encoded body's (decoded) or
  /// a multipart form's text part (its bytes as sent); nullopt when there
  /// is none. File parts are not fields: see file().
  std::optional<std::string> field(std::string_view name) const;
  /// Every form field of that name, in the order sent (a multi-select).
  std::vector<std::string> fields(std::string_view name) const;
  /// The first cookie of that name (browsers send the most specific path
  /// first), its value as cookie_decode gives it back (a value set with
  /// SetCookie comes back byte for byte; %XX escapes are decoded, every
  /// other byte is as sent); nullopt when there is none.
  std::optional<std::string> cookie(std::string_view name) const;
  /// The first file part of that name; null when there is none. Lives as
  /// long as the Request.
  const UploadedFile* file(std::string_view name) const noexcept;
  /// Every file part of that name, in the order sent.
  std::vector<const UploadedFile*> files(std::string_view name) const;

  // -- Typed fields: the value, or an error naming the field and why ----

  /// A form field as text that must not be empty: errc::field_missing when
  /// absent or empty. The error's detail is the field's name.
  [[nodiscard]] result<std::string> required_field(std::string_view name) const;
  /// A form field as a whole number in [min, max]: an optional sign and
  /// decimal digits, no blanks. errc::field_missing when absent or empty,
  /// errc::field_not_a_number, errc::field_out_of_range (a number too
  /// large for 64 bits included). The error's detail is the field's name.
  [[nodiscard]] result<std::int64_t> int_field(std::string_view name, std::int64_t min, std::int64_t max) const;
  /// A form field as a decimal number in [min, max] ("3", "-0.5", "2.5e3";
  /// no blanks, no hex, no "inf" or "nan"), read the same in every locale.
  /// Errors as for int_field.
  [[nodiscard]] result<double> number_field(std::string_view name, double min, double max) const;
  /// Whether a checkbox was ticked: a form field of that name was sent,
  /// whatever its value (a browser sends none for an unticked box).
  bool checkbox(std::string_view name) const noexcept;

  // -- The request line and headers --------------------------------------

  /// A request header by its name in any case: "user-agent" reads
  /// HTTP_USER_AGENT, "Content-Type" and "Content-Length" read CONTENT_TYPE
  /// and CONTENT_LENGTH; nullopt when the server passed none.
  std::optional<std::string_view> header(std::string_view name) const;
  std::string_view method() const noexcept;       ///< REQUEST_METHOD
  std::string_view path_info() const noexcept;    ///< PATH_INFO, "" when unset
  std::string_view script_name() const noexcept;  ///< SCRIPT_NAME
  std::string_view remote_addr() const noexcept;  ///< REMOTE_ADDR
  std::string_view query() const noexcept;        ///< QUERY_STRING, raw
  std::string_view content_type() const noexcept; ///< CONTENT_TYPE
  /// REQUEST_METHOD is HEAD: the answer is the header block alone
  /// (Response(request) does that by itself).
  bool is_head() const noexcept;
  /// HTTPS is "on" or "1", in any case.
  bool is_https() const noexcept;
  /// The program's own absolute URL, for a redirect to itself: the scheme
  /// (https when is_https()), "://", SERVER_NAME (an IPv6 address in
  /// brackets), ":" SERVER_PORT unless it is the scheme's default (80,
  /// 443) or unset, then SCRIPT_NAME, percent-encoded where a URL needs
  /// it. No query, no PATH_INFO. "" when these make no address, so that
  /// Response::redirect refuses it rather than send the browser nowhere:
  /// SERVER_NAME unset, empty, or neither a host name (letters, digits,
  /// "-", ".", "_", "~") nor an IP address; SERVER_PORT not a number up to
  /// 65535; SCRIPT_NAME not empty and not starting with "/". Some servers
  /// fill SERVER_NAME from the client's Host header: the address is then
  /// the one the client asked for.
  std::string self_url() const;

  // -- Everything as received ---------------------------------------------

  /// A variable's value, "" when unset; has() tells unset from empty.
  std::string_view get(std::string_view name) const noexcept;
  /// Whether the variable is set, even empty.
  bool has(std::string_view name) const noexcept;
  /// Every variable, in the order the server gave them.
  const Variables& variables() const noexcept;
  /// The query's fields, raw views in the order sent (decode with
  /// Field::value); they live as long as the Request.
  const std::vector<Field>& raw_args() const noexcept;
  /// A url-encoded body's fields, or a multipart form's text parts.
  const std::vector<Field>& raw_form() const noexcept;
  /// The cookies as sent (quotes taken off, no decoding), in order.
  const std::vector<Cookie>& raw_cookies() const noexcept;
  /// Every file part, in order.
  const std::vector<UploadedFile>& uploads() const noexcept;

  /// The body as read when it is held in memory: a url-encoded form, or a
  /// body that was no form, up to limits.memory bytes. Empty for a
  /// multipart form (which streams) and for a body held in a temp file.
  std::string_view body() const noexcept;
  /// The bytes CONTENT_LENGTH announced, which all came.
  std::uint64_t body_size() const noexcept;
  /// The same bytes as body(), or the temp file's, to read a piece at a
  /// time; empty for a multipart form (its parts are fields and files).
  BodyStream body_stream() const noexcept;

 private:
  struct Data;
  // Every current(): `limits` as they are, or with the server's over them.
  static result<Request> read(const Limits& limits, bool server) noexcept;
  std::unique_ptr<Data> data_;
};

/// Form errors gathered so that a page can show them together:
/// `auto age = errors.take(request.int_field("age", 0, 150));` gives the
/// value, or nullopt with the error kept.
class FormErrors {
 public:
  /// The value of `r`, or nullopt with its error kept.
  template <class T>
  std::optional<T> take(result<T> r) {
    if (r) return std::move(*r);
    all_.push_back(std::move(r.error()));
    return std::nullopt;
  }
  /// An error of the program's own: `errors.add("email", "needs an @")`
  /// keeps errc::field_invalid for that field with that sentence, which
  /// message() gives as "email: needs an @".
  void add(std::string_view field, std::string_view why) {
    all_.push_back(error(errc::field_invalid, std::string(field)).with_note(std::string(why)));
  }
  /// Any other error, as it is.
  void add(error e) { all_.push_back(std::move(e)); }
  /// No error was kept.
  bool empty() const noexcept { return all_.empty(); }
  /// Every error kept, in the order they came.
  const std::vector<error>& all() const noexcept { return all_; }

 private:
  std::vector<error> all_;
};

}  // namespace cgiecho::web
