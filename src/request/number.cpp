#include "request/number.h"

#include <cstddef>
#include <limits>

namespace cgiecho {
namespace {

constexpr std::int32_t kOutOfRange = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kTwoTo31 = std::int64_t{1} << 31;
constexpr int kSignificantDigits = 18;
constexpr std::int64_t kExponentCap = 9999;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::int32_t narrow(std::int64_t value) {
  if (value < -kTwoTo31 || value >= kTwoTo31) return kOutOfRange;
  return static_cast<std::int32_t>(value);
}

// Exact decimal arithmetic: the digits are an integer below 10^18 and the
// value is digits * 10^exponent, so rounding needs no floating point.
std::int32_t read_decimal(std::string_view s, std::size_t i) {
  const std::size_t n = s.size();
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';

  std::uint64_t digits = 0;
  int significant = 0;
  std::int64_t exponent = 0;
  bool any_digit = false;
  bool after_point = false;
  for (; i < n; ++i) {
    const char c = s[i];
    if (c == '.') {
      if (after_point) break;
      after_point = true;
      continue;
    }
    if (!is_digit(c)) break;
    any_digit = true;
    const int d = c - '0';
    if (digits == 0 && d == 0) {  // a leading zero is not significant
      if (after_point) --exponent;
    } else if (significant < kSignificantDigits) {
      digits = digits * 10 + static_cast<unsigned>(d);
      ++significant;
      if (after_point) --exponent;
    } else if (!after_point) {
      ++exponent;  // read as a zero: the value keeps its magnitude
    }
  }
  if (!any_digit) return 0;

  if (i < n && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
    ++i;
    bool exponent_negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) exponent_negative = s[i++] == '-';
    std::int64_t e = 0;
    for (; i < n && is_digit(s[i]); ++i) {
      e = e * 10 + (s[i] - '0');
      if (e > kExponentCap) e = kExponentCap;
    }
    exponent += exponent_negative ? -e : e;
  }
  if (digits == 0) return 0;

  std::uint64_t magnitude;
  if (exponent >= 0) {
    magnitude = digits;
    for (std::int64_t k = 0; k < exponent; ++k) {
      magnitude *= 10;
      if (magnitude > static_cast<std::uint64_t>(kTwoTo31)) return kOutOfRange;
    }
  } else {
    // digits < 10^18, so below 10^-19 the value is under 0.1: rounds to 0.
    if (exponent < -kSignificantDigits) return 0;
    std::uint64_t scale = 1;
    for (std::int64_t k = 0; k < -exponent; ++k) scale *= 10;
    magnitude = digits / scale;
    const std::uint64_t twice_rest = (digits % scale) * 2;
    if (twice_rest > scale || (twice_rest == scale && (magnitude & 1) != 0)) ++magnitude;
  }
  if (magnitude > static_cast<std::uint64_t>(kTwoTo31)) return kOutOfRange;
  const auto value = static_cast<std::int64_t>(magnitude);
  return narrow(negative ? -value : value);
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return 99;
}

enum class Suffix { kNone, kPercent, kAmp, kAmpAmp, kQuery };

// s[i] is the byte after "&".
std::int32_t read_radix(std::string_view s, std::size_t i) {
  const std::size_t n = s.size();
  int base = 8;
  if (i < n) {
    switch (s[i]) {
      case 'H': case 'h': base = 16; ++i; break;
      case 'B': case 'b': base = 2; ++i; break;
      case 'O': case 'o': case 'Q': case 'q': ++i; break;
      default: break;  // octal, and this byte is the first digit
    }
  }
  const std::size_t first = i;
  std::uint64_t value = 0;
  bool too_wide = false;
  for (; i < n; ++i) {
    const int d = digit_value(s[i]);
    if (d >= base) break;
    const auto b = static_cast<std::uint64_t>(base);
    if (value > (std::numeric_limits<std::uint64_t>::max() - static_cast<std::uint64_t>(d)) / b) too_wide = true;
    value = value * b + static_cast<std::uint64_t>(d);
  }
  if (i == first || too_wide) return 0;

  Suffix suffix = Suffix::kNone;
  if (i < n) {
    if (s[i] == '%') suffix = Suffix::kPercent;
    else if (s[i] == '&') suffix = (i + 1 < n && s[i + 1] == '&') ? Suffix::kAmpAmp : Suffix::kAmp;
    else if (s[i] == '?') suffix = Suffix::kQuery;
  }

  constexpr std::uint64_t kTwoTo32 = std::uint64_t{1} << 32;
  if (value >= kTwoTo32) {
    if (suffix == Suffix::kQuery && (value >> 63) != 0) return 0;
    return narrow(static_cast<std::int64_t>(value));  // two's complement, 64 bits
  }
  auto result = static_cast<std::int64_t>(value);
  // A pattern that fills 16 or 32 bits reads as negative, unless it starts
  // with a 0 digit or a suffix widens the type.
  if (s[first] != '0' && suffix != Suffix::kQuery) {
    if (value >= 32768 && value <= 65535 && suffix != Suffix::kAmp && suffix != Suffix::kAmpAmp) {
      result -= 65536;
    } else if (value >= static_cast<std::uint64_t>(kTwoTo31) && suffix != Suffix::kAmpAmp) {
      result -= static_cast<std::int64_t>(kTwoTo32);
    }
  }
  return narrow(result);
}

}  // namespace

std::int32_t cgi_val(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  if (i < text.size() && text[i] == '&') return read_radix(text, i + 1);
  return read_decimal(text, i);
}

}  // namespace cgiecho
