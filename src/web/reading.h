/// How a request is read, one way for every program on the web layer
/// (Request and the inspector alike): first every check that the variables
/// decide, then the body through one reader, and on a refusal the body read
/// off and the refusal logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cgiecho/web/cookies.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/form.h>
#include <cgiecho/web/limits.h>

namespace cgiecho::web {

/// CONTENT_LENGTH: absent or empty is no body (length 0, returns ok); digits
/// only give the length; more than 64 bits is errc::body_too_large; anything
/// else errc::bad_content_length.
errc content_length(bool set, std::string_view value, std::uint64_t& length) noexcept;

/// The value of `r` moved into `out`, or its error's code: for the steps of
/// reading a request, which speak errc among themselves.
template <class T>
errc take(result<T> r, T& out) noexcept {
  if (!r) return r.error().code();
  out = std::move(*r);
  return errc::ok;
}

/// Which parser a body gets, by the media type of CONTENT_TYPE.
enum class BodyKind { other, urlencoded, multipart };

/// What the variables alone say about a request. Views point into the
/// variables given to check_request.
struct RequestHead {
  /// Body bytes announced: 0 when CONTENT_LENGTH is not a number, the
  /// largest value when it is too large for 64 bits.
  std::uint64_t length = 0;
  BodyKind kind = BodyKind::other;  ///< by CONTENT_TYPE, body or not
  std::string_view boundary;        ///< a multipart body's
  std::vector<Field> args;          ///< the query's fields
  std::vector<Cookie> cookies;     ///< the Cookie header's cookies
};

/// Every check that needs no byte of the body, in this order:
/// CONTENT_LENGTH (absent or empty: `absent_length` bytes), the body against
/// max_body and, when url-encoded, max_form; a multipart body's boundary (a
/// request without a body has no form, and needs none); the cookies; the
/// query's fields. The first rule broken is the answer. `out.length` is set
/// whatever the answer, so that a refused body can be read off.
errc check_request(const Variables& variables, const Limits& limits, std::uint64_t absent_length,
                   RequestHead& out) noexcept;

/// The body from standard input (or the channel of the request in hand):
/// at most the announced length, however much more the input holds.
class BodyInput {
 public:
  /// A body of `length` announced bytes, none read yet.
  explicit BodyInput(std::uint64_t length) noexcept : length_(length) {}

  /// Fills `room` up to `size` bytes, the rest of the announced body, the
  /// end of the input or a failed read, whichever comes first; the bytes
  /// read (0: nothing more comes). Throws only what the platform's read
  /// throws: nothing on a real system.
  std::size_t fill(char* room, std::size_t size);

  /// Every piece of the body in turn, each at most `piece` bytes, to
  /// `sink(std::string_view) -> errc`; the sink's first error stops the
  /// reading. After ok, end_error() says whether the whole body came.
  template <class Sink>
  errc read_all(char* room, std::size_t piece, Sink&& sink) {
    for (std::size_t got; (got = fill(room, piece)) > 0;)
      if (const errc e = sink(std::string_view(room, got)); e != errc::ok) return e;
    return errc::ok;
  }

  std::uint64_t length() const noexcept { return length_; }     ///< the bytes announced
  std::uint64_t size() const noexcept { return read_; }         ///< the bytes read
  bool complete() const noexcept { return read_ == length_; }  ///< every announced byte came
  /// Why the body is not whole: errc::read_failed after a failed read (the
  /// connection, not the client's body), errc::body_truncated when the input
  /// ended early; errc::ok when every announced byte came.
  errc end_error() const noexcept;

  /// Reads and drops up to `bound` of the announced bytes not read yet.
  void read_off(std::uint64_t bound) noexcept;

 private:
  std::uint64_t length_;
  std::uint64_t read_ = 0;
  bool failed_ = false;
};

/// What a refusal is logged with (platform::say_on_stderr puts the
/// program's name first and escapes it): the request's SCRIPT_NAME as
/// sent, the limit that was passed with its value, or for an error that is
/// no limit its message, and the status and code: "refused a request to
/// /cgi-bin/x: CGIECHO_MAX_FILE (1048576) passed (413 file_too_large)".
/// `bad_variable` names the variable of errc::invalid_limit.
std::string refusal_message(errc e, const Variables& variables, const Limits& limits, std::uint64_t length,
                            std::string_view bad_variable);

/// What a program does with a request it refuses before it answers: logs
/// refusal_message on standard error and reads off up to limits.read_off of the
/// body left (some servers pass an answer on only once the body they are
/// writing has been taken; past the bound the rest stays unread, and such a
/// server may drop the connection).
void refuse(errc e, const Variables& variables, const Limits& limits, BodyInput& input,
            std::string_view bad_variable = {}) noexcept;

}  // namespace cgiecho::web
