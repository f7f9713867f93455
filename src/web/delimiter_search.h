// The search for a multipart body's delimiters across the pieces it comes
// in: candidates ruled out many bytes at a time, then matched byte by byte
// where a piece may cut them; not a public header.
#pragma once

#include <cstddef>
#include <string_view>

#include "web/multipart.h"

namespace cgiecho::web {

inline constexpr std::size_t kMaxBoundary = 70;
// "\r\n--", the boundary, the padding and the CR of its CRLF: the longest
// run of bytes that can still be undecided when a piece ends.
inline constexpr std::size_t kMaxHeld = 4 + kMaxBoundary + kMaxDelimiterPadding + 1;

// "\r\n--" + boundary, then "--" (the closing delimiter) or blanks and CRLF
// (one that opens a part); anything else after it makes it data after all.
struct DelimiterSearch {
  // Where a possible delimiter stands: inside "\r\n--boundary", right after
  // it, after its first closing "-", in its padding, or at its final CR.
  enum class Phase { pattern, after, dash, padding, cr };
  enum class Match { more, fail, opens, closes, overpadded };

  // `boundary`: empty or usable (multipart_boundary would take it).
  explicit DelimiterSearch(std::string_view boundary) noexcept;
  DelimiterSearch(const DelimiterSearch&) = delete;  // `boundary` views `pattern`
  DelimiterSearch& operator=(const DelimiterSearch&) = delete;

  // The first CR from `p` that may start a delimiter: one followed by
  // "\n--" and with the pattern's last byte in place, as far as the piece
  // shows; null when there is none. Most bytes of a file are ruled out 32 at
  // a time, by the CR and the pattern's last byte together, so that neither
  // binary data nor text full of CRLFs stops the scan often.
  const char* next_candidate(const char* p, const char* end) const noexcept;
  // Runs the possible delimiter over [p, end). `stop` is where the scan goes
  // on: the first byte after the delimiter, or the byte that proved it data
  // (which may start the next one).
  Match advance(const char* p, const char* end, const char*& stop) noexcept;
  // A possible delimiter from here, `already_matched` bytes of it read.
  void begin(std::size_t already_matched) noexcept;

  char pattern[4 + kMaxBoundary];
  std::size_t pattern_size = 0;
  std::string_view boundary;

  // The possible delimiter in progress. Its bytes from earlier pieces are
  // in `held` (never the CRLF taken as read).
  bool candidate = true;  // the body's start counts as right after a CRLF
  Phase phase = Phase::pattern;
  std::size_t matched = 2;
  std::size_t padding = 0;
  char held[kMaxHeld];
  std::size_t held_size = 0;
};

}  // namespace cgiecho::web
