// The plain reading of UTF-8 that the inspector's tests and its fuzz target
// hold is_utf8 to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cgiecho::test {

// The plain reading of UTF-8: the lead byte gives the length, the rest
// must be continuation bytes, and the code point must need that length
// and be a scalar value.
inline bool reference_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t length;
    std::uint32_t cp;
    if (b < 0x80) { length = 1; cp = b; }
    else if ((b & 0xE0) == 0xC0) { length = 2; cp = b & 0x1Fu; }
    else if ((b & 0xF0) == 0xE0) { length = 3; cp = b & 0x0Fu; }
    else if ((b & 0xF8) == 0xF0) { length = 4; cp = b & 0x07u; }
    else return false;
    if (i + length > s.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3Fu);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace cgiecho::test
