#include <cstddef>
#include <cstring>

#include "codec/url_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cgiecho {
namespace {

// For every byte, what it becomes, padded to four bytes, with the count of
// bytes that matter in the last slot. Copying all four and advancing by the
// count needs no branch on the byte, which matters for binary data, where
// kept and escaped bytes alternate unpredictably. Vector loops that store
// clean blocks whole measured no faster: this loop already keeps pace with
// writing the output.
struct encode_table {
  unsigned char entry[256][4];
  constexpr encode_table() : entry{} {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
      auto* e = entry[b];
      const bool kept = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
      if (kept || b == ' ') {
        e[0] = static_cast<unsigned char>(b == ' ' ? '+' : b);
        e[3] = 1;
      } else {
        e[0] = '%';
        e[1] = static_cast<unsigned char>(kHex[b >> 4]);
        e[2] = static_cast<unsigned char>(kHex[b & 0x0F]);
        e[3] = 3;
      }
    }
  }
};
constexpr encode_table kEncode{};

std::size_t count_scalar(const unsigned char* in, std::size_t n) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; ++i) total += kEncode.entry[in[i]][3];
  return total;
}

}  // namespace

// Counting runs before every exported encoding, so it must cost little
// beside the encoding itself: 16 bytes at a time, escaped bytes counted in
// byte lanes and summed before a lane can overflow.
std::size_t url_encoded_size(std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::size_t escaped = 0;
#if defined(__SSE2__)
  const __m128i zero_digit = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i lower = _mm_set1_epi8(0x20);
  const __m128i small_a = _mm_set1_epi8('a');
  const __m128i z_off = _mm_set1_epi8(25);
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i none = _mm_setzero_si128();
  while (i + 16 <= n) {
    // Lanes count down from zero (a match is -1) for at most 255 blocks.
    __m128i lanes = none;
    const std::size_t stop = i + 16 * 255 < n ? i + 16 * 255 : n;
    for (; i + 16 <= stop; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      // Unsigned range checks: x - lo <= hi - lo, with min to compare unsigned.
      const __m128i d = _mm_sub_epi8(v, zero_digit);
      const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(d, nine), d);
      const __m128i a = _mm_sub_epi8(_mm_or_si128(v, lower), small_a);
      const __m128i is_alpha = _mm_cmpeq_epi8(_mm_min_epu8(a, z_off), a);
      const __m128i single = _mm_or_si128(_mm_or_si128(is_digit, is_alpha), _mm_cmpeq_epi8(v, space));
      lanes = _mm_add_epi8(lanes, _mm_andnot_si128(single, _mm_set1_epi8(-1)));
    }
    const __m128i sums = _mm_sad_epu8(_mm_sub_epi8(none, lanes), none);
    // Each half holds a sum of 8 lanes, at most 2040.
    escaped += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
               static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  return i + 2 * escaped + count_scalar(in + i, n - i);
}

void url_encode_to(std::string_view text, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::size_t j = 0;
  // A byte's four-byte store reaches at most 3 bytes past its encoding's
  // start; while three more bytes follow, their encodings cover that.
  if (n > 3) {
    for (; i < n - 3; ++i) {
      const auto* e = kEncode.entry[in[i]];
      std::memcpy(out + j, e, 4);
      j += e[3];
    }
  }
  for (; i < n; ++i) {
    const auto* e = kEncode.entry[in[i]];
    out[j] = static_cast<char>(e[0]);
    if (e[3] == 3) {
      out[j + 1] = static_cast<char>(e[1]);
      out[j + 2] = static_cast<char>(e[2]);
    }
    j += e[3];
  }
}

std::string url_encode(std::string_view text) {
  std::string out(url_encoded_size(text), '\0');
  url_encode_to(text, out.data());
  return out;
}

}  // namespace cgiecho
