/// @file
/// URL encoding of form data, and its lenient inverse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cgiecho {

/// Letters and digits stay, a space becomes "+", every other byte becomes
/// "%" and two upper-case hex digits. Never longer than 3 bytes per input
/// byte; url_decode gives the input back for every byte string.
std::string url_encode(std::string_view text);

/// The length of url_encode(text), counted without encoding, so a caller can
/// allocate the result once and have url_encode_to fill it. In 64 bits on
/// every system: up to three times the input, more than a 32-bit
/// std::size_t holds.
std::uint64_t url_encoded_size(std::string_view text);

/// Writes url_encode(text) at out: exactly url_encoded_size(text) bytes,
/// nothing after them.
void url_encode_to(std::string_view text, char* out);

/// "+" becomes a space and "%XY" the byte 0xXY; every other byte stays.
/// Malformed escapes never fail: "%" takes the two bytes after it (fewer at
/// the end), their leading hex digits give the byte ("%zz" is 0, "%4z" is 4),
/// and a final lone "%" stays "%".
std::string url_decode(std::string_view text);

/// url_decode of data[0, size) written over data[0, size); returns the
/// decoded length, never more than size. Bytes after it are left unspecified.
std::size_t url_decode_in_place(char* data, std::size_t size);

}  // namespace cgiecho
