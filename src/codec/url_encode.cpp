#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "codec/url_codec.h"
#include "codec/url_codec_paths.h"

#if CGIECHO_URL_X86
#include <immintrin.h>
#endif

namespace cgiecho::detail {
namespace {

// For every byte, what it becomes, padded to four bytes, with the count of
// bytes that matter in the last slot. Copying all four and advancing by the
// count needs no branch on the byte, which matters for binary data, where
// kept and escaped bytes alternate unpredictably.
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

// Writes one byte's encoding at out and returns its length. Stores four
// bytes, so out needs one byte of room beyond the encoding.
inline std::size_t put_encoded(unsigned char b, char* out) {
  std::memcpy(out, kEncode.entry[b], 4);
  return kEncode.entry[b][3];
}

std::size_t encode_bytes(const unsigned char* in, std::size_t n, char* out) {
  std::size_t j = 0;
  for (std::size_t i = 0; i < n; ++i) j += put_encoded(in[i], out + j);
  return j;
}

// The result is reserved once for the worst case, 3 bytes per input byte, and
// never grows. It is not filled first (zeroing three times the input costs
// more than the encoding): each piece of input is encoded into a small
// staging buffer that stays in the cache, and appended. The staging buffer
// has room for the worst case of a piece plus the byte put_encoded may store
// past the end, so the loops never check for room.
constexpr std::size_t kPiece = 2048;

template <typename Body>
std::string encode_with(std::string_view text, Body body) {
  const std::size_t n = text.size();
  std::string out;
  if (n > out.max_size() / 3) throw std::length_error("url_encode: input too long");
  out.reserve(3 * n);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char staging[3 * kPiece + 1];
  for (std::size_t i = 0; i < n; i += kPiece) {
    const std::size_t len = n - i < kPiece ? n - i : kPiece;
    out.append(staging, body(in + i, len, staging));
  }
  return out;
}

#if CGIECHO_URL_X86
// Vector loops: a block of bytes that each become one byte (letters, digits,
// spaces) is stored whole, spaces turned to "+"; any other block goes through
// the table loop. Taking a block apart at its escapes with the vector masks
// measured no faster than the branch-free table, which already keeps pace
// with writing the output.
//
// Every vector store below writes a full block at out + j while at least a
// full block of input remains at i. Since j <= 3 * i, that stays inside the
// worst-case room of the input given.
std::size_t encode_sse2_body(const unsigned char* in, std::size_t n, char* out) {
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i lower = _mm_set1_epi8(0x20);
  const __m128i small_a = _mm_set1_epi8('a');
  const __m128i z_off = _mm_set1_epi8(25);
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i to_plus = _mm_set1_epi8('+' - ' ');
  std::size_t i = 0;
  std::size_t j = 0;
  while (i + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    // Unsigned range checks: x - lo <= hi - lo, with min to compare unsigned.
    const __m128i d = _mm_sub_epi8(v, zero);
    const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(d, nine), d);
    const __m128i a = _mm_sub_epi8(_mm_or_si128(v, lower), small_a);
    const __m128i is_alpha = _mm_cmpeq_epi8(_mm_min_epu8(a, z_off), a);
    const __m128i is_space = _mm_cmpeq_epi8(v, space);
    const __m128i single = _mm_or_si128(_mm_or_si128(is_digit, is_alpha), is_space);
    const unsigned escapes = ~static_cast<unsigned>(_mm_movemask_epi8(single)) & 0xFFFFu;
    if (escapes != 0) {
      j += encode_bytes(in + i, 16, out + j);
      i += 16;
      continue;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_add_epi8(v, _mm_and_si128(is_space, to_plus)));
    i += 16;
    j += 16;
  }
  return j + encode_bytes(in + i, n - i, out + j);
}

__attribute__((target("avx2"))) std::size_t encode_avx2_body(const unsigned char* in, std::size_t n, char* out) {
  const __m256i zero = _mm256_set1_epi8('0');
  const __m256i nine = _mm256_set1_epi8(9);
  const __m256i lower = _mm256_set1_epi8(0x20);
  const __m256i small_a = _mm256_set1_epi8('a');
  const __m256i z_off = _mm256_set1_epi8(25);
  const __m256i space = _mm256_set1_epi8(' ');
  const __m256i to_plus = _mm256_set1_epi8('+' - ' ');
  std::size_t i = 0;
  std::size_t j = 0;
  while (i + 32 <= n) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i d = _mm256_sub_epi8(v, zero);
    const __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(d, nine), d);
    const __m256i a = _mm256_sub_epi8(_mm256_or_si256(v, lower), small_a);
    const __m256i is_alpha = _mm256_cmpeq_epi8(_mm256_min_epu8(a, z_off), a);
    const __m256i is_space = _mm256_cmpeq_epi8(v, space);
    const __m256i single = _mm256_or_si256(_mm256_or_si256(is_digit, is_alpha), is_space);
    const unsigned escapes = ~static_cast<unsigned>(_mm256_movemask_epi8(single));
    if (escapes != 0) {
      j += encode_bytes(in + i, 32, out + j);
      i += 32;
      continue;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                        _mm256_add_epi8(v, _mm256_and_si256(is_space, to_plus)));
    i += 32;
    j += 32;
  }
  return j + encode_sse2_body(in + i, n - i, out + j);
}
#endif

}  // namespace

std::string url_encode_scalar(std::string_view text) { return encode_with(text, encode_bytes); }

#if CGIECHO_URL_X86
std::string url_encode_sse2(std::string_view text) { return encode_with(text, encode_sse2_body); }
std::string url_encode_avx2(std::string_view text) { return encode_with(text, encode_avx2_body); }
#else
std::string url_encode_sse2(std::string_view text) { return url_encode_scalar(text); }
std::string url_encode_avx2(std::string_view text) { return url_encode_scalar(text); }
#endif

}  // namespace cgiecho::detail
