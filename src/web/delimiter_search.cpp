#include "web/delimiter_search.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/ascii.h"

namespace cgiecho::web {

DelimiterSearch::DelimiterSearch(std::string_view b) noexcept {
  std::memcpy(pattern, "\r\n--", 4);
  if (!b.empty()) std::memcpy(pattern + 4, b.data(), b.size());
  pattern_size = 4 + b.size();
  boundary = std::string_view(pattern + 4, b.size());
}

const char* DelimiterSearch::next_candidate(const char* p, const char* end) const noexcept {
  const std::size_t last = pattern_size - 1;
#if defined(__SSE2__)
  if (static_cast<std::size_t>(end - p) >= last + 32) {
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i tail = _mm_set1_epi8(pattern[last]);
    const char* const stop = end - last - 32;
    while (p <= stop) {
      const auto at = [&](std::size_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k)); };
      const __m128i lo = _mm_and_si128(_mm_cmpeq_epi8(at(0), cr), _mm_cmpeq_epi8(at(last), tail));
      const __m128i hi = _mm_and_si128(_mm_cmpeq_epi8(at(16), cr), _mm_cmpeq_epi8(at(last + 16), tail));
      const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(lo)) |
                        (static_cast<std::uint32_t>(_mm_movemask_epi8(hi)) << 16);
      if (bits == 0) {
        p += 32;
        continue;
      }
      const char* c = p + __builtin_ctz(bits);
      if (c[1] == '\n' && c[2] == '-' && c[3] == '-') return c;
      p = c + 1;
    }
  }
#endif
  for (;;) {
    const auto* c = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
    if (c == nullptr) return nullptr;
    const std::size_t room = static_cast<std::size_t>(end - c);
    if (room <= last) return c;  // cut by the piece's end: only the matcher can tell
    if (c[1] == '\n' && c[2] == '-' && c[3] == '-' && c[last] == pattern[last]) return c;
    p = c + 1;
  }
}

DelimiterSearch::Match DelimiterSearch::advance(const char* p, const char* end, const char*& stop) noexcept {
  while (p < end) {
    const char c = *p;
    switch (phase) {
      case Phase::pattern: {
        const std::size_t want = pattern_size - matched;
        const std::size_t have = static_cast<std::size_t>(end - p);
        const std::size_t n = std::min(want, have);
        if (std::memcmp(p, pattern + matched, n) != 0) {
          std::size_t k = 0;
          while (p[k] == pattern[matched + k]) ++k;
          stop = p + k;
          return Match::fail;
        }
        p += n;
        matched += n;
        if (matched == pattern_size) phase = Phase::after;
        continue;
      }
      case Phase::after:
        if (c == '-') {
          phase = Phase::dash;
        } else if (text::is_blank(c)) {
          phase = Phase::padding;
          padding = 1;
        } else if (c == '\r') {
          phase = Phase::cr;
        } else {
          break;
        }
        ++p;
        continue;
      case Phase::dash:
        if (c != '-') break;
        stop = p + 1;
        return Match::closes;
      case Phase::padding:
        if (text::is_blank(c)) {
          if (++padding > kMaxDelimiterPadding) {
            stop = p;
            return Match::overpadded;
          }
        } else if (c == '\r') {
          phase = Phase::cr;
        } else {
          break;
        }
        ++p;
        continue;
      case Phase::cr:
        if (c != '\n') break;
        stop = p + 1;
        return Match::opens;
    }
    stop = p;
    return Match::fail;
  }
  return Match::more;
}

void DelimiterSearch::begin(std::size_t already_matched) noexcept {
  candidate = true;
  phase = Phase::pattern;
  matched = already_matched;
  padding = 0;
  held_size = 0;
}

}  // namespace cgiecho::web
