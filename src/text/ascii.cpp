#include "text/ascii.h"

#include <algorithm>

#include "text/hex.h"

namespace cgiecho::text {

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  // Names usually come in the casing the caller asks for.
  if (a == b) return true;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (to_lower(a[i]) != to_lower(b[i])) return false;
  return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && equals_ignoring_case(text.substr(0, prefix.size()), prefix);
}

bool less_ignoring_case(std::string_view a, std::string_view b) noexcept {
  // unsigned: a byte above 0x7F sorts after every ASCII byte, as std::string does
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(to_lower(x)) < static_cast<unsigned char>(to_lower(y));
  });
}

bool is_token(std::string_view text) noexcept {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_token_char);
}

std::string_view trim_blanks(std::string_view text) noexcept {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

void append_printable(std::string_view text, std::string& out, Escaping escaping) {
  const char* hex = escaping.capitals ? kHexUpper : kHexLower;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);  // unsigned: bytes above 0x7F must not go negative
    const bool kept = (b >= 0x20 && b < 0x7F && b != '\\' && !(escaping.quote && b == '"')) ||
                      (b >= 0x80 && !escaping.high_bytes);
    if (kept) {
      out += c;
    } else {
      out += "\\x";
      out += hex[b >> 4];
      out += hex[b & 0x0F];
    }
  }
}

}  // namespace cgiecho::text
