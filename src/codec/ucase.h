/// @file
/// Upper-casing of names, byte by byte.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace cgiecho {

/// The upper-casing that names are compared with. Byte by byte, never the
/// locale: "a"-"z" and seven code page 437 letters fold; every other byte,
/// the whole range 0xC0-0xFF included, stays as it is. The seven are kept
/// for existing callers.
struct UpperTable {
  std::array<unsigned char, 256> map;  ///< each byte's upper-case byte
  constexpr UpperTable() : map() {
    for (int b = 0; b < 256; ++b) map[static_cast<std::size_t>(b)] = static_cast<unsigned char>(b);
    for (int b = 'a'; b <= 'z'; ++b) map[static_cast<std::size_t>(b)] = static_cast<unsigned char>(b - 0x20);
    constexpr unsigned char kCp437[][2] = {{0x81, 0x9A}, {0x82, 0x90}, {0x84, 0x8E}, {0x86, 0x8F},
                                           {0x87, 0x80}, {0x94, 0x99}, {0xA4, 0xA5}};
    for (const auto& pair : kCp437) map[pair[0]] = pair[1];
  }
  /// The upper-case byte of `c`.
  char operator()(char c) const { return static_cast<char>(map[static_cast<unsigned char>(c)]); }
};
/// The one table, built at compile time.
inline constexpr UpperTable kUpper{};

/// `text` upper-cased by kUpper.
std::string cgi_ucase(std::string_view text);

}  // namespace cgiecho
