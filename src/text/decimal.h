// A plain decimal number: the one reading of digits that every setting,
// length and count in the library goes through. What a caller makes of a
// number too large for 64 bits differs (a limit saturates, a length is too
// large, a file is refused), so that is an outcome of its own.
#pragma once

#include <cstdint>
#include <string_view>

namespace cgiecho::text {

struct Decimal {
  enum class Outcome { number, not_a_number, too_large };
  Outcome outcome = Outcome::not_a_number;
  std::uint64_t value = 0;  // the number; 0 unless outcome is number
};

// Digits "0"-"9" only, at least one, leading zeros allowed, read as an
// unsigned 64-bit value. Every byte is checked before the size counts:
// "99999999999999999999x" is not a number, "99999999999999999999" is too
// large. Nothing else passes: no sign, no blank, no NUL, no other digit.
Decimal parse_decimal(std::string_view text) noexcept;

// A port as a URL may carry it: empty (the scheme's default), or a plain
// decimal number up to 65535, which is all a browser takes.
bool is_url_port(std::string_view port) noexcept;

}  // namespace cgiecho::text
