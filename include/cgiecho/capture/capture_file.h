/// @file
/// A capture file: one request, and where it is known the program's answer,
/// kept byte for byte in a form that every platform reads the same way.
///
///   cgiecho-capture 1\n
///   param NAME_LENGTH VALUE_LENGTH\n NAME VALUE \n    one per variable, in order
///   argv LENGTH\n TAIL \n                              the command-line tail
///   body DECLARED READ[ cut]\n BYTES \n                the body on standard input
///   response LENGTH[ cut]\n BYTES \n                   what the program wrote
///
/// (the blanks around the raw bytes above are for reading only: the bytes
/// follow the line break directly and the closing line break follows them).
/// Records come in this order; argv, body and response at most once each,
/// and each may be missing. Numbers are plain decimal without leading
/// zeros. DECLARED is CONTENT_LENGTH as a number, or "-" when that is unset
/// or not a plain decimal number. "cut" says the bytes stop where the
/// capture's limit did, not where the data did.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cgiecho/platform/platform.h>

namespace cgiecho::capture {

/// The first line of every capture file: the format and its version.
inline constexpr std::string_view kFirstLine = "cgiecho-capture 1\n";

/// The longest record header a reader looks at: the longest one the writer
/// makes ("body" and two 20-digit numbers and "cut") fits with room to spare.
inline constexpr std::size_t kMaxHeaderLine = 64;

using platform::Variables;

/// The body record: what the request's body was and how much of it was kept.
struct Body {
  std::optional<std::uint64_t> declared;  ///< none: CONTENT_LENGTH unset or not a number
  std::string bytes;  ///< the bytes kept
  bool cut = false;  ///< more bytes followed than the capture kept
};

/// The response record: the bytes the program wrote.
struct Response {
  std::string bytes;  ///< as written, head and body
  bool cut = false;   ///< the program wrote more than the capture kept
};

/// One captured request: its records in file order.
struct Capture {
  Variables params;                   ///< the variables, in order
  std::optional<std::string> argv;    ///< the command-line tail, when it had one
  std::optional<Body> body;           ///< the body, when one was read
  std::optional<Response> response;  ///< the answer, when it was kept
};

/// @{
/// Each appends one whole record to `out`; a file is kFirstLine followed by
/// records in the order above.
void append_param(std::string& out, std::string_view name, std::string_view value);
void append_argv(std::string& out, std::string_view tail);
void append_body(std::string& out, std::optional<std::uint64_t> declared, std::string_view bytes, bool cut);
/// @}
/// A body record's first line alone, for a writer that puts the bytes (and
/// the line break after them) in place itself.
void append_body_header(std::string& out, std::optional<std::uint64_t> declared, std::uint64_t size, bool cut);
/// The response record (one whole record, as append_param).
void append_response(std::string& out, std::string_view bytes, bool cut);

/// The whole file.
std::string write_capture(const Capture& capture);

/// Why a file is not a capture, and where.
struct ReadError {
  std::uint64_t offset = 0;  ///< where in the file the fault was found
  std::string what;          ///< the fault, in a few words
  std::string message() const;  ///< "offset N: what"
};

/// Checks the whole file and fills `out`; on a fault returns false with
/// `error` set and `out` left empty. Reads exactly what write_capture
/// writes: for every file it accepts, write_capture(out) gives the file back.
[[nodiscard]] bool read_capture(std::string_view file, Capture& out, ReadError& error);

/// The whole file at `path` (a capture file, to be read by read_capture),
/// or false when it cannot be read.
[[nodiscard]] bool read_file(const std::string& path, std::string& out);

}  // namespace cgiecho::capture

/// @namespace cgiecho::capture
/// Capture files: the record of one request and its answer, written,
/// checked and read back.
