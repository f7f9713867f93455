// URL encoding of form data, and its lenient inverse.
#pragma once

#include <string>
#include <string_view>

namespace cgiecho {

// Letters and digits stay, a space becomes "+", every other byte becomes
// "%" and two upper-case hex digits. Never longer than 3 bytes per input
// byte; url_decode gives the input back for every byte string.
std::string url_encode(std::string_view text);

// "+" becomes a space and "%XY" the byte 0xXY; every other byte stays.
// Malformed escapes never fail: "%" takes the two bytes after it (fewer at
// the end), their leading hex digits give the byte ("%zz" is 0, "%4z" is 4),
// and a final lone "%" stays "%".
std::string url_decode(std::string_view text);

}  // namespace cgiecho
