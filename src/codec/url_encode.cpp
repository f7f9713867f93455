#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <cgiecho/codec/url_codec.h>

#include "codec/url_codec_paths.h"

#include "text/ascii.h"
#include "text/hex.h"

#if CGIECHO_URL_X86
#include <immintrin.h>
#elif defined(__SSE2__)
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
    for (int b = 0; b < 256; ++b) {
      auto* e = entry[b];
      if (text::is_alnum(static_cast<unsigned char>(b)) || b == ' ') {
        e[0] = static_cast<unsigned char>(b == ' ' ? '+' : b);
        e[3] = 1;
      } else {
        e[0] = '%';
        e[1] = static_cast<unsigned char>(text::kHexUpper[b >> 4]);
        e[2] = static_cast<unsigned char>(text::kHexUpper[b & 0x0F]);
        e[3] = 3;
      }
    }
  }
};
constexpr encode_table kEncode{};

// Encodes n bytes at out and returns the length written. Stores four bytes
// per input byte: the last store reaches three bytes past the encoding when
// the last byte is kept, one when it is escaped. The byte is read once and
// both table reads use it: a form that reads the byte again for its length
// measured a quarter slower.
std::size_t encode_bytes(const unsigned char* in, std::size_t n, char* out) {
  std::size_t j = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char b = in[i];
    std::memcpy(out + j, kEncode.entry[b], 4);
    j += kEncode.entry[b][3];
  }
  return j;
}

// The bytes that are escaped: a count no larger than the input, so a
// std::size_t holds it; three bytes for each may not be.
std::size_t count_escaped_scalar(const unsigned char* in, std::size_t n) {
  std::size_t escaped = 0;
  for (std::size_t i = 0; i < n; ++i) escaped += kEncode.entry[in[i]][3] >> 1;
  return escaped;
}

#if CGIECHO_URL_X86
// A byte is kept (one output byte) when the bit sets of its two nibbles
// meet: bit 0 for " ", bit 1 for "0"-"9", bit 2 for "A"-"O" and "a"-"o",
// bit 3 for "P"-"Z" and "p"-"z". Two table lookups per 32 bytes instead of
// three range checks per 16.
__attribute__((target("avx2"))) std::size_t count_escaped_avx2(const unsigned char* in, std::size_t n,
                                                                std::size_t& i) {
  const __m256i lo_bits = _mm256_setr_epi8(0x0B, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0C, 0x04,
                                           0x04, 0x04, 0x04, 0x04, 0x0B, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E,
                                           0x0E, 0x0E, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x04);
  const __m256i hi_bits = _mm256_setr_epi8(0, 0, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i none = _mm256_setzero_si256();
  std::size_t escaped = 0;
  while (i + 32 <= n) {
    // Lanes count down from zero (an escaped byte is -1) for at most 255 blocks.
    __m256i lanes = none;
    const std::size_t stop = i + 32 * 255 < n ? i + 32 * 255 : n;
    for (; i + 32 <= stop; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
      const __m256i lo = _mm256_shuffle_epi8(lo_bits, _mm256_and_si256(v, nibble));
      const __m256i hi = _mm256_shuffle_epi8(hi_bits, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
      lanes = _mm256_add_epi8(lanes, _mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), none));
    }
    const __m256i s = _mm256_sad_epu8(_mm256_sub_epi8(none, lanes), none);
    const __m128i sums = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    // Each half holds a sum of 16 lanes, at most 4080.
    escaped += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
               static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
  return escaped;
}
#endif

}  // namespace

// Counting runs before every exported encoding, so it must cost little
// beside the encoding itself: escaped bytes are counted in byte lanes and
// summed before a lane can overflow. The length is summed in 64 bits: on a
// 32-bit system an input of 1.43 GB already encodes past 4 GiB.
std::uint64_t url_encoded_size(std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::size_t escaped = 0;
#if CGIECHO_URL_X86
  if (detail::best_url_path() == detail::url_path::avx2) escaped = count_escaped_avx2(in, n, i);
#endif
#if defined(__SSE2__)
  const __m128i zero_digit = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i lower = _mm_set1_epi8(0x20);
  const __m128i small_a = _mm_set1_epi8('a');
  const __m128i z_off = _mm_set1_epi8(25);
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i none = _mm_setzero_si128();
  while (i + 16 <= n) {
    // Lanes count down from zero (an escaped byte is -1) for at most 255 blocks.
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
  escaped += count_escaped_scalar(in + i, n - i);
  return std::uint64_t{n} + 2 * std::uint64_t{escaped};
}

// Each piece of input is encoded into a small staging buffer that stays in
// the first-level cache and then copied out whole, byte-exact. Written
// straight into a large result that is not in the cache, the four-byte
// stores each wait for their line, and 16 MiB of form text encoded a third
// slower; staging costs about 5% where the result fits in the cache. The
// staging buffer has room for the worst case of a piece (all escaped) plus
// the one byte the last store then reaches past it; a kept last byte reaches
// three, inside an encoding at least two bytes shorter. So the loop never
// checks for room.
void url_encode_to(std::string_view text, char* out) {
  constexpr std::size_t kPiece = 2048;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  char staging[3 * kPiece + 1];
  for (std::size_t i = 0; i < n; i += kPiece) {
    const std::size_t len = n - i < kPiece ? n - i : kPiece;
    const std::size_t j = encode_bytes(in + i, len, staging);
    std::memcpy(out, staging, j);
    out += j;
  }
}

std::string url_encode(std::string_view text) {
  const std::uint64_t size = url_encoded_size(text);
  // Only on a 32-bit system: more than a string holds, as std::string says it.
  if (static_cast<std::size_t>(size) != size) throw std::length_error("url_encode: result too long");
  std::string out(static_cast<std::size_t>(size), '\0');
  url_encode_to(text, out.data());
  return out;
}

}  // namespace cgiecho
