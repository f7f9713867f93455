#pragma once

#include <cstdint>
#include <string_view>

namespace cgiecho {

/// Reads a number from the start of a text the way every numeric variable is
/// read, and rounds it to a signed 32-bit integer: halves go to the even
/// neighbour, and a value outside the range gives -2147483648. Never fails:
/// a text without a number gives 0.
///  - leading blanks, tabs and line feeds are skipped (not carriage returns);
///  - decimal: [+-]digits[.digits][(E|e|D|d)[+-]digits], 18 significant
///    digits at most (later ones count as zeros), exponent capped at 9999;
///  - radix: &H (hex), &B (binary), &O or &Q (octal), or & then octal digits,
///    optionally followed by one of the suffixes % & && ? ?? ???, which
///    decide whether 16- and 32-bit patterns read as negative.
/// The radix forms, their suffixes and the D exponent are kept for existing
/// callers.
std::int32_t cgi_val(std::string_view text);

}  // namespace cgiecho
