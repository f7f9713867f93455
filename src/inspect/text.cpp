#include "inspect/text.h"

#include <cstdint>
#include <cstring>

#include "text/hex.h"

namespace cgiecho::inspect {
namespace {

// Eight ASCII bytes at a time: most names and values are ASCII, and a
// word with no high bit set needs no look at its bytes one by one.
bool ascii_word(const unsigned char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080u) == 0;
}

bool continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// What a byte needs inside a JSON string: 0 nothing, else its short
// escape letter, or 'u' for \u00xx.
struct EscapeTable {
  char letter[256] = {};
  constexpr EscapeTable() {
    for (int b = 0; b < 0x20; ++b) letter[b] = 'u';
    letter[static_cast<unsigned char>('\b')] = 'b';
    letter[static_cast<unsigned char>('\t')] = 't';
    letter[static_cast<unsigned char>('\n')] = 'n';
    letter[static_cast<unsigned char>('\f')] = 'f';
    letter[static_cast<unsigned char>('\r')] = 'r';
    letter[static_cast<unsigned char>('"')] = '"';
    letter[static_cast<unsigned char>('\\')] = '\\';
  }
};
constexpr EscapeTable kEscape;

// Whether a word of eight bytes holds only printable ASCII other than '"'
// and '\\', which a JSON string takes as they are: no byte below 0x20 or
// above 0x7F, none equal to either.
bool plain_word(std::uint64_t w) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  const auto has_zero = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  // With no byte below 0x20 nothing borrows, and no byte shows.
  const std::uint64_t below_space = (w - 0x20 * kOnes) & ~w & kHigh;
  return ((w & kHigh) | below_space | has_zero(w ^ ('"' * kOnes)) | has_zero(w ^ ('\\' * kOnes))) == 0;
}

bool is_plain(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, sizeof w);
    if (!plain_word(w)) return false;
  }
  for (; i < bytes.size(); ++i)
    if (p[i] >= 0x80 || kEscape.letter[p[i]] != 0) return false;
  return true;
}

void append_json_string(std::string_view bytes, std::string& out) {
  out += '"';
  std::size_t run = 0;  // start of the bytes that need no escape
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const char letter = kEscape.letter[b];
    if (letter == 0) continue;
    out.append(bytes.data() + run, i - run);  // whole runs at once: no append per byte
    run = i + 1;
    out += '\\';
    out += letter;
    if (letter == 'u') {
      out += "00";
      out += text::kHexLower[b >> 4];
      out += text::kHexLower[b & 0x0F];
    }
  }
  out.append(bytes.data() + run, bytes.size() - run);
  out += '"';
}

}  // namespace

bool is_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p < end) {
    if (end - p >= 8 && ascii_word(p)) {
      p += 8;
      continue;
    }
    const unsigned char b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    // The second byte's range narrows for E0 (no overlong three-byte
    // form), ED (no surrogate), F0 (no overlong four-byte form) and F4
    // (nothing past U+10FFFF); C0, C1 and F5 to FF never start a character.
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
    for (std::size_t k = 2; k < length; ++k)
      if (!continuation(p[k])) return false;
    p += length;
  }
  return true;
}

void append_base64(std::string_view bytes, std::string& out) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t whole = bytes.size() / 3 * 3;
  const std::size_t at = out.size();
  out.resize(at + (bytes.size() + 2) / 3 * 4);
  char* o = out.data() + at;
  for (std::size_t i = 0; i < whole; i += 3) {
    const std::uint32_t v = std::uint32_t{p[i]} << 16 | std::uint32_t{p[i + 1]} << 8 | p[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - whole;
  if (rest > 0) {
    const std::uint32_t v = std::uint32_t{p[whole]} << 16 | (rest == 2 ? std::uint32_t{p[whole + 1]} << 8 : 0);
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
}

void append_json_text(std::string_view bytes, std::string& out) {
  if (is_plain(bytes)) {  // most names and values: the bytes go out as they are, at once
    out += '"';
    out.append(bytes);
    out += '"';
    return;
  }
  if (is_utf8(bytes)) {
    append_json_string(bytes, out);
    return;
  }
  out += "{\"base64\":\"";
  append_base64(bytes, out);
  out += "\"}";
}

}  // namespace cgiecho::inspect
