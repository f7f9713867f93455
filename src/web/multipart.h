// multipart/form-data bodies: one state machine, fed the whole body at once
// or in pieces as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "web/errors.h"
#include "web/limits.h"

namespace cgiecho::web {

// Whether the media type of a Content-Type value is `type` ("type/subtype"),
// compared without case, parameters ignored.
bool media_type_is(std::string_view content_type, std::string_view type) noexcept;

// The boundary parameter of a multipart content type: its name in any case,
// a token or a quoted string (the bytes between the quotes), 1 to 70 bytes.
// errc::malformed_multipart when it is missing or breaks those rules. A view
// into content_type.
errc multipart_boundary(std::string_view content_type, std::string_view& boundary) noexcept;

// What a part's headers say. The views live during part_begin only.
struct PartHead {
  std::string_view name;          // may be empty: an empty name is a name
  bool is_file = false;           // it has a filename parameter, even an empty one
  std::string_view filename;
  bool has_content_type = false;
  std::string_view content_type;  // the header's value, trimmed
};

// Receives the parts in order. Returning anything but errc::ok stops the
// parser with that error.
class PartHandler {
 public:
  virtual errc part_begin(const PartHead& head) noexcept = 0;
  // Any number of calls per part, in order. The view lives during the call.
  // Fed the whole body in one piece, the parser hands each part's data as
  // views into that piece, in order and touching, so a handler can keep
  // the part where it lies.
  virtual errc part_data(std::string_view bytes) noexcept = 0;
  virtual errc part_end() noexcept = 0;

 protected:
  ~PartHandler() = default;
};

// Limits it enforces: max_parts, max_files, max_file (each file part's
// data), max_part_header (each header block, every byte up to and including
// its empty line) and max_form (the data of the text parts together).
//
// A body whose closing delimiter never comes is errc::malformed_multipart
// from finish(): whatever the handler was given must then be thrown away,
// since a cut-off form must never look complete.
class MultipartParser {
 public:
  MultipartParser(std::string_view boundary, const Limits& limits, PartHandler& handler) noexcept;
  // The next piece of the body. After an error, every call returns it again.
  errc feed(std::string_view piece) noexcept;
  // The end of the body.
  errc finish() noexcept;
  // Bytes the parser holds back (a possible delimiter cut by a piece's
  // end); never more than the boundary's length plus a few bytes.
  std::size_t held() const noexcept;

  MultipartParser(const MultipartParser&) = delete;
  MultipartParser& operator=(const MultipartParser&) = delete;
  ~MultipartParser();

 private:
  struct State;
  State* state_;  // allocated in the constructor; null when memory ran out (every call: out_of_memory)
};

// A whole part as views into the body given to parse_multipart.
struct Part {
  std::string_view name;
  bool is_file = false;
  std::string_view filename;
  bool has_content_type = false;
  std::string_view content_type;
  std::string_view data;
};

// The whole body at once, parsed where it lies: no part is copied. On an
// error `out` is left as it was.
errc parse_multipart(std::string_view body, std::string_view boundary, const Limits& limits,
                     std::vector<Part>& out) noexcept;

}  // namespace cgiecho::web
