#include <cstddef>
#include <string>

#include <cgiecho/codec/url_codec.h>

#include "codec/url_codec_paths.h"

#include "text/hex.h"

#if CGIECHO_URL_X86
#include <immintrin.h>
#endif

namespace cgiecho::detail {
namespace {

constexpr unsigned char kNotHex = 16;

struct decode_table {
  unsigned char digit[256];              // hex value, or kNotHex
  unsigned char escape[17][17];          // value of "%" + two taken bytes, by their digits
  unsigned char plain[256];              // a byte outside an escape: "+" is a space
  constexpr decode_table() : digit{}, escape{}, plain{} {
    for (int b = 0; b < 256; ++b) {
      const int d = text::hex_value(static_cast<char>(b));
      digit[b] = static_cast<unsigned char>(d < 0 ? kNotHex : d);
      plain[b] = static_cast<unsigned char>(b == '+' ? ' ' : b);
    }
    // Digits are read from the first taken byte on and stop at the first
    // byte that is not one: "%zz" is 0, "%4z" is 4.
    for (int hi = 0; hi <= kNotHex; ++hi)
      for (int lo = 0; lo <= kNotHex; ++lo)
        escape[hi][lo] = static_cast<unsigned char>(hi == kNotHex ? 0 : lo == kNotHex ? hi : hi * 16 + lo);
  }
};
constexpr decode_table kDecode{};

inline unsigned char escape_value(unsigned char t1, unsigned char t2) {
  return kDecode.escape[kDecode.digit[t1]][kDecode.digit[t2]];
}

// Decodes from p[r] to p[w], w <= r, while r < limit; limit + 2 <= n, so
// every step may take a whole escape without checking for the end. The
// compilers make the choice a branch on "%", and that measured faster even
// on encoded binary data than a branch-free mask, which makes every step
// wait for the load of the byte before.
inline void decode_steps(unsigned char* p, std::size_t limit, std::size_t& r, std::size_t& w) {
  while (r < limit) {
    const unsigned char b = p[r];
    const unsigned char esc = escape_value(p[r + 1], p[r + 2]);
    const bool pct = b == '%';
    p[w++] = pct ? esc : kDecode.plain[b];
    r += pct ? 3 : 1;
  }
}

// Decodes p[r, n) in place to p[w, ...) and returns the end of the output.
std::size_t decode_bytes(unsigned char* p, std::size_t n, std::size_t r, std::size_t w) {
  if (n >= 2) decode_steps(p, n - 2, r, w);
  // A "%" among the last two bytes takes only what is left: one byte gives
  // its digit (or 0), none leaves the "%" as it is.
  while (r < n) {
    const unsigned char b = p[r++];
    if (b != '%') {
      p[w++] = kDecode.plain[b];
    } else if (r == n) {
      p[w++] = '%';
    } else {
      p[w++] = kDecode.escape[kDecode.digit[p[r]]][kNotHex];
      ++r;
    }
  }
  return w;
}

std::size_t decode_scalar_body(unsigned char* p, std::size_t n) { return decode_bytes(p, n, 0, 0); }

#if CGIECHO_URL_X86
// The vector loops below store a block without "%" whole ("+" turned to a
// space); a block with one is stored up to it, the escapes there are taken
// one by one, and the next block starts right after them. That pays while
// plain bytes come in runs, but where escapes are dense and broken up by
// single plain bytes (encoded binary data) a block yields a byte or two and
// a run of escapes whose end the branch predictor cannot guess, and the
// scalar step is faster. So the input goes in windows of kWindow bytes: a
// window with kDense or more "%" starts a stretch of kDenseRun bytes for the
// scalar step, any other window goes to the vector loop. Measured on 64 KiB
// of encoded text with a given share of escaped bytes, without the rule the
// vector loops lost 5-15% from about 70% escaped on (random bytes are 75%,
// 19 "%" per window); with it they stay level or ahead everywhere (1.03x or
// more), and form text (5 per window) keeps the vector speed. A stretch of several
// windows amortises the count and the mispredicted exit from the scalar loop.
constexpr std::size_t kWindow = 64;
constexpr unsigned kDense = 17;
constexpr std::size_t kDenseRun = 4 * kWindow;

// After a block cut short at its first "%": escapes often follow each other,
// so they are taken here rather than by reloading a block for each. Leaves
// r and w where the next block starts.
inline void take_escapes(unsigned char* p, std::size_t n, std::size_t& r, std::size_t& w) {
  while (r + 3 <= n && p[r] == '%') {
    p[w++] = escape_value(p[r + 1], p[r + 2]);
    r += 3;
  }
}

// The one vector loop, over what a vector path does to a block (Ops):
//   percent_count(at): the number of "%" in the window at `at`;
//   escapes(in): the mask of the "%" among the kWidth bytes at `in` (bit i:
//     byte i);
//   convert(in, out): those bytes stored at `out`, "+" turned to a space.
// Ops functions take and give only pointers and integers, so the loop is
// compiled for each path's target inside that path's wrapper below, and no
// vector crosses a call compiled for another target. Once inlined, escapes
// and convert share one load.
//
// Storing a whole block at w also writes past the part that counts. That is
// harmless where it lands on input already read into the register, but an
// escape cuts the block short, and then the store could land on input not
// yet read: only while the write position trails the read position by less
// than a block. Then the part that counts goes through a small buffer. Every
// well-formed escape widens the gap by two, so this stays rare.
template <class Ops>
__attribute__((always_inline)) inline std::size_t decode_vectors(unsigned char* p, std::size_t n) {
  constexpr std::size_t kWidth = Ops::kWidth;
  std::size_t r = 0;
  std::size_t w = 0;
  while (r + kWindow + kWidth <= n) {
    const std::size_t end = r + kWindow;
    if (Ops::percent_count(p + r) >= kDense) {
      decode_steps(p, r + kDenseRun < n - 2 ? r + kDenseRun : n - 2, r, w);
      continue;
    }
    while (r < end) {
      const unsigned escapes = Ops::escapes(p + r);
      if (escapes == 0) {
        Ops::convert(p + r, p + w);
        r += kWidth;
        w += kWidth;
        continue;
      }
      const auto k = static_cast<std::size_t>(__builtin_ctz(escapes));
      if (w + kWidth <= r + k) {
        Ops::convert(p + r, p + w);
      } else {
        unsigned char block[kWidth];
        Ops::convert(p + r, block);
        for (std::size_t m = 0; m < k; ++m) p[w + m] = block[m];
      }
      r += k;
      w += k;
      take_escapes(p, n, r, w);
    }
  }
  return decode_bytes(p, n, r, w);
}

// The number of "%" in a window is counted in byte lanes (at most
// kWindow / kWidth each) and summed.
struct sse2_ops {
  static constexpr std::size_t kWidth = 16;
  static unsigned percent_count(const unsigned char* at) {
    const __m128i percent = _mm_set1_epi8('%');
    __m128i lanes = _mm_setzero_si128();
    for (std::size_t i = 0; i < kWindow; i += kWidth)
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + i)), percent));
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    return static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
  static unsigned escapes(const unsigned char* in) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('%'))));
  }
  static void convert(const unsigned char* in, unsigned char* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i plus = _mm_cmpeq_epi8(v, _mm_set1_epi8('+'));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_sub_epi8(v, _mm_and_si128(plus, _mm_set1_epi8('+' - ' '))));
  }
};

struct avx2_ops {
  static constexpr std::size_t kWidth = 32;
  __attribute__((target("avx2"))) static unsigned percent_count(const unsigned char* at) {
    const __m256i percent = _mm256_set1_epi8('%');
    __m256i lanes = _mm256_setzero_si256();
    for (std::size_t i = 0; i < kWindow; i += kWidth)
      lanes = _mm256_sub_epi8(lanes,
                              _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + i)), percent));
    const __m256i s = _mm256_sad_epu8(lanes, _mm256_setzero_si256());
    const __m128i sums = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    return static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
  __attribute__((target("avx2"))) static unsigned escapes(const unsigned char* in) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('%'))));
  }
  __attribute__((target("avx2"))) static void convert(const unsigned char* in, unsigned char* out) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i plus = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('+'));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_sub_epi8(v, _mm256_and_si256(plus, _mm256_set1_epi8('+' - ' '))));
  }
};

std::size_t decode_sse2_body(unsigned char* p, std::size_t n) { return decode_vectors<sse2_ops>(p, n); }

__attribute__((target("avx2"))) std::size_t decode_avx2_body(unsigned char* p, std::size_t n) {
  return decode_vectors<avx2_ops>(p, n);
}
#endif

}  // namespace

std::size_t url_decode_in_place(url_path path, char* data, std::size_t size) {
  auto* p = reinterpret_cast<unsigned char*>(data);
#if CGIECHO_URL_X86
  switch (path) {
    case url_path::avx2:
      return decode_avx2_body(p, size);
    case url_path::sse2:
      return decode_sse2_body(p, size);
    case url_path::scalar:
      break;
  }
#else
  (void)path;
#endif
  return decode_scalar_body(p, size);
}

// Every step reads at least as many bytes as it writes, so the write
// position never passes the read position and the copy is the only buffer.
std::string url_decode_on(url_path path, std::string_view text) {
  std::string out(text);
  out.resize(url_decode_in_place(path, out.data(), out.size()));
  return out;
}

}  // namespace cgiecho::detail

namespace cgiecho {

std::size_t url_decode_in_place(char* data, std::size_t size) {
  return detail::url_decode_in_place(detail::best_url_path(), data, size);
}

std::string url_decode(std::string_view text) { return detail::url_decode_on(detail::best_url_path(), text); }

}  // namespace cgiecho
