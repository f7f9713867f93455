#include "text/hex.h"

namespace cgiecho::text {

std::string percent_encode(std::string_view bytes, const ByteSet& kept) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);  // unsigned: bytes above 0x7F must not go negative
    if (kept.has[b]) {
      out += c;
    } else {
      out += '%';
      out += kHexUpper[b >> 4];
      out += kHexUpper[b & 0x0F];
    }
  }
  return out;
}

}  // namespace cgiecho::text
