#include <cstddef>

#include "codec/url_codec.h"

namespace cgiecho {
namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string url_decode(std::string_view text) {
  // Decoded in place in our own copy: every step reads at least as many
  // bytes as it writes, so the write position never passes the read one.
  std::string out(text);
  const std::size_t n = out.size();
  std::size_t r = 0;
  std::size_t w = 0;
  while (r < n) {
    const auto b = static_cast<unsigned char>(out[r++]);
    if (b == '%') {
      if (r == n) {
        out[w++] = '%';
        break;
      }
      const int hi = hex_value(static_cast<unsigned char>(out[r]));
      int value = 0;
      if (hi >= 0) {
        value = hi;
        if (r + 1 < n) {
          const int lo = hex_value(static_cast<unsigned char>(out[r + 1]));
          if (lo >= 0) value = hi * 16 + lo;
        }
      }
      r += (r + 1 < n) ? 2 : 1;  // the taken bytes go, digits or not
      out[w++] = static_cast<char>(value);
    } else {
      out[w++] = b == '+' ? ' ' : static_cast<char>(b);
    }
  }
  out.resize(w);
  return out;
}

}  // namespace cgiecho
