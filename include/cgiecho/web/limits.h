/// Every limit the web layer enforces. Going over one is an error for the
/// whole request (named after the limit), never a silent cut. A value that is
/// exactly at a limit passes; one more fails. 0 means 0, never "off".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cgiecho/platform/platform.h>
#include <cgiecho/web/errors.h>

namespace cgiecho::web {

/// The limits of one request, each a count of bytes or of items. Request::current()
/// takes them from the server's CGIECHO_* variables (limits_from) over these
/// defaults, Request::current_with_defaults() over a program's own.
struct Limits {
  std::uint64_t max_body = std::uint64_t{1} << 30;          ///< bytes of any body
  std::uint64_t max_form = std::uint64_t{16} << 20;         ///< a url-encoded body; a multipart form's text parts together
  std::uint64_t max_fields = 10'000;                        ///< fields of the query, and of a url-encoded body, each
  std::uint64_t max_parts = 1'000;                          ///< parts of a multipart body
  std::uint64_t max_files = 100;                            ///< parts with a filename
  std::uint64_t max_file = std::uint64_t{1} << 30;          ///< bytes of one file part
  std::uint64_t max_part_header = std::uint64_t{16} << 10;  ///< one part's header block, up to and including its empty line
  std::uint64_t max_cookies = 3'000;                        ///< cookies of the Cookie header
  /// Not a limit on the request: the request's bytes of files (and of a body
  /// that is not a form) held in memory, together; past it they go to
  /// private temp files.
  std::uint64_t memory = std::uint64_t{1} << 20;
  /// Not a limit on the request either: how much of a refused body is read
  /// and dropped before the answer, so that servers that wait for the body
  /// pass the answer on; past it the rest is left unread.
  std::uint64_t read_off = std::uint64_t{64} << 20;
};

/// Variables as name and value, in order (CGI's environment, a FastCGI
/// request's parameters, or a program's own). A name given twice reads as
/// its last entry.
using platform::Variables;

/// The variable of that name (its last entry); null when unset.
/// Lives as long as `variables` is not changed.
const std::string* find_variable(const Variables& variables, std::string_view name) noexcept;
/// Its value; "" when unset.
std::string_view variable_value(const Variables& variables, std::string_view name) noexcept;

/// A plain decimal number: digits only (leading zeros allowed), at least
/// one, read as an unsigned 64-bit value; one too large for 64 bits reads as
/// the largest value, larger than any limit. False for anything else (empty,
/// a sign, blanks, any other byte).
[[nodiscard]] bool parse_plain_decimal(std::string_view text, std::uint64_t& out) noexcept;

/// The limits a server configuration sets with CGIECHO_MAX_BODY,
/// CGIECHO_MAX_FORM, CGIECHO_MAX_FIELDS, CGIECHO_MAX_PARTS, CGIECHO_MAX_FILES,
/// CGIECHO_MAX_FILE, CGIECHO_MAX_PART_HEADER, CGIECHO_MAX_COOKIES,
/// CGIECHO_MEMORY and CGIECHO_READ_OFF, over `defaults`. Each variable is taken
/// from `request` when set there (its last entry), else from `fallback` (a FastCGI responder's own
/// environment; empty under CGI). A value that applies and is not a plain
/// decimal number gives errc::invalid_limit with the variable's name as
/// detail, whether or not the request would come near that limit
/// (no detail when not even the name can be copied).
[[nodiscard]] result<Limits> limits_from(const Variables& request, const Variables& fallback,
                                         const Limits& defaults) noexcept;

/// The variable that sets a limit ("CGIECHO_MAX_FILE" for
/// &Limits::max_file); "" for a member that is not one.
std::string_view limit_variable(std::uint64_t Limits::*limit) noexcept;

}  // namespace cgiecho::web
