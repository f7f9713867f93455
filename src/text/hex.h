// Hex digits, written and read, and the percent-encoding made of them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cgiecho::text {

// The digits by value: percent-encoding writes capitals, escapes in logs
// and JSON small letters.
inline constexpr char kHexUpper[] = "0123456789ABCDEF";
inline constexpr char kHexLower[] = "0123456789abcdef";

// A table, since decoders read two digits per escape and test both at once.
struct HexValues {
  signed char of[256] = {};
  constexpr HexValues() {
    for (int b = 0; b < 256; ++b) of[b] = -1;
    for (int d = 0; d < 16; ++d) {
      of[static_cast<unsigned char>(kHexUpper[d])] = static_cast<signed char>(d);
      of[static_cast<unsigned char>(kHexLower[d])] = static_cast<signed char>(d);
    }
  }
};
inline constexpr HexValues kHexValues{};

// The value of a hex digit, "0"-"9", "A"-"F" or "a"-"f"; -1 for any other
// byte, so that (hex_value(a) | hex_value(b)) < 0 refuses either.
constexpr int hex_value(char c) noexcept { return kHexValues.of[static_cast<unsigned char>(c)]; }

// The bytes percent_encode keeps as they are, built from a test of one
// byte: ByteSet([](unsigned char b) { return b == '-'; }).
struct ByteSet {
  bool has[256] = {};
  template <class Test>
  constexpr explicit ByteSet(Test test) {
    for (int b = 0; b < 256; ++b) has[b] = test(static_cast<unsigned char>(b));
  }
};

// `bytes` with every byte `kept` does not hold as "%" and two capital hex
// digits.
std::string percent_encode(std::string_view bytes, const ByteSet& kept);

// Takes one decoded byte of form text from raw[i...] and moves i past what
// it took: "+" is a space, "%" and two hex digits that byte, and any other
// byte, a "%" without two hex digits included, itself.
inline unsigned char take_form_byte(const unsigned char* raw, std::size_t size, std::size_t& i) noexcept {
  const unsigned char b = raw[i++];
  if (b == '+') return ' ';
  if (b != '%' || size - i < 2) return b;
  const int hi = hex_value(static_cast<char>(raw[i]));
  const int lo = hex_value(static_cast<char>(raw[i + 1]));
  if ((hi | lo) < 0) return b;
  i += 2;
  return static_cast<unsigned char>(hi << 4 | lo);
}

// Form text decoded as take_form_byte reads it into `out`, which has room
// for raw.size() bytes; the length written.
std::size_t form_decode_to(std::string_view raw, char* out) noexcept;

}  // namespace cgiecho::text
