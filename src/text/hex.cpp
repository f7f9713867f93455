#include "text/hex.h"

#include <cstring>

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

std::size_t form_decode_to(std::string_view raw, char* out) noexcept {
  const auto* r = reinterpret_cast<const unsigned char*>(raw.data());
  const std::size_t n = raw.size();
  std::size_t i = 0;
  std::size_t w = 0;
  while (i < n) {
    // Plain bytes go across in runs; only "+" and "%" stop a run.
    std::size_t run = i;
    while (run < n && r[run] != '+' && r[run] != '%') ++run;
    if (run != i) {
      std::memcpy(out + w, r + i, run - i);
      w += run - i;
      i = run;
      if (i == n) break;
    }
    out[w++] = static_cast<char>(take_form_byte(r, n, i));
  }
  return w;
}

}  // namespace cgiecho::text
