/// @file
/// multipart/form-data bodies: one state machine, fed the whole body at once
/// or in pieces as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <cgiecho/web/errors.h>
#include <cgiecho/web/limits.h>

namespace cgiecho::web {

/// Whether the media type of a Content-Type value is `type` ("type/subtype"),
/// compared without case, parameters ignored.
bool media_type_is(std::string_view content_type, std::string_view type) noexcept;

/// The boundary parameter of a multipart content type: its name in any case,
/// a token or a quoted string (the bytes between the quotes), 1 to 70 bytes.
/// errc::malformed_multipart when it is missing or breaks those rules. A view
/// into content_type.
errc multipart_boundary(std::string_view content_type, std::string_view& boundary) noexcept;

/// What a part's headers say. The views live during part_begin only.
struct PartHead {
  std::string_view name;          ///< may be empty: an empty name is a name
  bool is_file = false;           ///< it has a filename parameter, even an empty one
  std::string_view filename;       ///< the filename parameter's bytes, as sent
  bool has_content_type = false;  ///< a Content-Type header came
  std::string_view content_type;  ///< the header's value, trimmed
};

/// Receives the parts in order. Returning anything but errc::ok stops the
/// parser with that error.
class PartHandler {
 public:
  /// A part begins; `head` lives during the call.
  virtual errc part_begin(const PartHead& head) noexcept = 0;
  /// Any number of calls per part, in order. The view lives during the call.
  /// Fed the whole body in one piece, the parser hands each part's data as
  /// views into that piece, in order and touching, so a handler can keep
  /// the part where it lies.
  virtual errc part_data(std::string_view bytes) noexcept = 0;
  /// The part ends: its data is whole.
  virtual errc part_end() noexcept = 0;

 protected:
  ~PartHandler() = default;
};

/// Spaces and tabs allowed between a delimiter and its CRLF; a delimiter
/// padded with more is errc::malformed_multipart, so that the parser never
/// holds back more than a delimiter's worth of bytes.
inline constexpr std::size_t kMaxDelimiterPadding = 128;

/// The rules it reads a body by:
/// - A delimiter is "--" and the boundary at the body's start or right after
///   CRLF, followed by "--" (the closing delimiter: the rest is ignored) or
///   by optional spaces or tabs and CRLF (a part follows); followed by
///   anything else, those bytes are data.
/// - Bytes before the first delimiter (a preamble) are ignored: the
///   delimiter then follows a CRLF of the preamble.
/// - A part's headers are CRLF-terminated lines up to an empty line; a bare
///   CR or LF, a line without a colon or with a name that is not a token, a
///   folded line, and a delimiter before the empty line are malformed.
/// - Content-Disposition is required, once, as "form-data" with a "name"
///   parameter (an empty name is a name); a "filename" parameter, even an
///   empty one, makes the part a file; "filename*" and other parameters are
///   ignored. A parameter value is a token or a quoted string (the bytes
///   between the quotes, no backslash or percent processing); a parameter
///   without "=", an unquoted value that is not a token, bytes after a
///   closing quote, a quote that never closes and a parameter named twice
///   (names compared without case) are malformed. Content-Type is at most
///   once per part, its value trimmed; other headers are ignored.
/// - A part's data runs to the CRLF before the next delimiter; a delimiter
///   right after the header block's empty line ends an empty part.
///
/// Limits it enforces: max_parts, max_files, max_file (each file part's
/// data), max_part_header (each header block, every byte up to and including
/// its empty line) and max_form (the data of the text parts together: over
/// it is errc::body_too_large). Each piece of data counts before it is
/// handed out, so the handler never sees a byte over a limit.
///
/// A body whose closing delimiter never comes is errc::malformed_multipart
/// from finish(): whatever the handler was given must then be thrown away,
/// since a cut-off form must never look complete. A boundary that
/// multipart_boundary would refuse makes every call malformed_multipart.
///
/// Pieces may have any size, down to one byte; the parser keeps no view of
/// a piece after feed returns.
class MultipartParser {
 public:
  /// A parser for a body of that boundary, within `limits`, handing the
  /// parts to `handler`.
  MultipartParser(std::string_view boundary, const Limits& limits, PartHandler& handler) noexcept;
  /// The next piece of the body. After an error, every call returns it again.
  errc feed(std::string_view piece) noexcept;
  /// The end of the body.
  errc finish() noexcept;
  /// Bytes the parser holds back (a possible delimiter cut by a piece's
  /// end): at most 4 + the boundary's length + kMaxDelimiterPadding + 1.
  /// A header block cut by a piece's end is kept too, up to max_part_header.
  std::size_t held() const noexcept;
  /// After errc::malformed_multipart: the rule the body broke, in a few
  /// words for people ("a part's header line has no colon"); a static
  /// text, empty for any other error.
  std::string_view broken_rule() const noexcept;
  /// After an error: the offset in the body, over every piece fed, of the
  /// byte where it was found (the end of the body for a missing closing
  /// delimiter).
  std::uint64_t error_offset() const noexcept;

  MultipartParser(const MultipartParser&) = delete;
  MultipartParser& operator=(const MultipartParser&) = delete;
  ~MultipartParser();

 private:
  struct State;
  State* state_;  // allocated in the constructor; null when memory ran out (every call: out_of_memory)
};

/// A whole part as views into the body given to parse_multipart.
struct Part {
  std::string_view name;          ///< the name parameter (may be empty)
  bool is_file = false;           ///< a filename parameter came, even an empty one
  std::string_view filename;      ///< the filename parameter's bytes, as sent
  bool has_content_type = false;  ///< a Content-Type header came
  std::string_view content_type;  ///< the header's value, trimmed
  std::string_view data;          ///< the part's bytes
};

/// The whole body at once, parsed where it lies: no part is copied. On an
/// error `out` is left as it was.
errc parse_multipart(std::string_view body, std::string_view boundary, const Limits& limits,
                     std::vector<Part>& out) noexcept;

}  // namespace cgiecho::web
