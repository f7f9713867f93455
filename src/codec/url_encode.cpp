#include <cstddef>

#include "codec/url_codec.h"

namespace cgiecho {
namespace {

bool is_kept(unsigned char b) { return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

}  // namespace

std::string url_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // One buffer sized for the worst case, written in one pass.
  std::string out(text.size() * 3, '\0');
  std::size_t j = 0;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);  // unsigned: bytes above 0x7F must not go negative
    if (is_kept(b)) {
      out[j++] = static_cast<char>(b);
    } else if (b == ' ') {
      out[j++] = '+';
    } else {
      out[j++] = '%';
      out[j++] = kHex[b >> 4];
      out[j++] = kHex[b & 0x0F];
    }
  }
  out.resize(j);
  return out;
}

}  // namespace cgiecho
