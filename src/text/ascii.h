// ASCII rules for names and header text, byte by byte and never the locale:
// case folding touches "A"-"Z" and "a"-"z" only, so a byte above 0x7F
// always stays itself.
#pragma once

#include <string>
#include <string_view>

namespace cgiecho::text {

constexpr char to_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char to_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// "0"-"9", "A"-"Z" and "a"-"z": a byte above 0x7F is never one.
constexpr bool is_alnum(unsigned char b) noexcept {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

// Equal when each byte is equal after to_lower.
bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept;
bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) noexcept;
// Byte order after to_lower: a sort that ignores case.
bool less_ignoring_case(std::string_view a, std::string_view b) noexcept;

// The bytes of an HTTP token: letters, digits and !#$%&'*+-.^_`|~. A table,
// since header names and parameters are checked byte by byte, for every
// part of a form.
struct TokenTable {
  bool is[256] = {};
  constexpr TokenTable() {
    for (int c = 'a'; c <= 'z'; ++c) is[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) is[c] = true;
    for (int c = '0'; c <= '9'; ++c) is[c] = true;
    for (const char* c = "!#$%&'*+-.^_`|~"; *c != '\0'; ++c) is[static_cast<unsigned char>(*c)] = true;
  }
};
inline constexpr TokenTable kTokenTable{};

constexpr bool is_token_char(char c) noexcept { return kTokenTable.is[static_cast<unsigned char>(c)]; }
// At least one byte, every one a token byte.
bool is_token(std::string_view text) noexcept;

// Whether every byte of s, read unsigned, passes `test`.
template <class Test>
bool every_byte(std::string_view s, Test test) {
  for (const char c : s)
    if (!test(static_cast<unsigned char>(c))) return false;
  return true;
}

// Space and tab, the blanks of HTTP header and cookie text.
constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
// `text` without blanks at either end: a view into `text`.
std::string_view trim_blanks(std::string_view text) noexcept;

// Which bytes append_printable escapes beyond control bytes, 0x7F and "\\",
// and how it spells the escape. Every line on standard error takes the
// default.
struct Escaping {
  // Bytes above 0x7F: a terminal reads C1 controls (C2 9B opens an escape
  // sequence) and a viewer may break a line at U+2028 in them. False only
  // for a message a page shows, which keeps a UTF-8 name as typed.
  bool high_bytes = true;
  bool quote = false;     // '"' too, for text put inside a JSON string as it is
  bool capitals = false;  // \xFF rather than \xff
};

// Appends `text` for a log line: printable ASCII as it is, every other
// byte and "\\" as \xhh, so that a value never breaks the line or drives
// the terminal that shows it, and the escape reads back unambiguously.
void append_printable(std::string_view text, std::string& out, Escaping escaping = {});

}  // namespace cgiecho::text
