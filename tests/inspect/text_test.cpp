#include "inspect/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "support/utf8_reference.h"

namespace {

using namespace std::string_literals;
using cgiecho::inspect::append_base64;
using cgiecho::inspect::append_json_text;
using cgiecho::inspect::is_utf8;

std::string json(std::string_view bytes) {
  std::string out;
  append_json_text(bytes, out);
  return out;
}

std::string base64(std::string_view bytes) {
  std::string out = "kept:";  // appends, never replaces
  append_base64(bytes, out);
  return out.substr(5);
}

using cgiecho::test::reference_utf8;

// A JSON string read back, as a client would; nullopt when it is not one
// this writer may make (only the escapes it promises, no raw control byte).
std::optional<std::string> read_json_string(std::string_view j) {
  if (j.size() < 2 || j.front() != '"' || j.back() != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = 1; i + 1 < j.size(); ++i) {
    const auto c = static_cast<unsigned char>(j[i]);
    if (c < 0x20 || c == '"') return std::nullopt;
    if (c != '\\') { out += j[i]; continue; }
    const char e = j[++i];
    const std::string_view shorts = "\"\"\\\\b\bf\ft\tn\nr\r";
    const std::size_t at = shorts.find(e);
    if (e == 'u' && j.substr(i + 1, 2) == "00" && i + 4 < j.size()) {
      out += static_cast<char>(std::stoi(std::string(j.substr(i + 3, 2)), nullptr, 16));
      i += 4;
    } else if (at != std::string_view::npos && at % 2 == 0) {
      out += shorts[at + 1];
    } else {
      return std::nullopt;
    }
  }
  return out;
}

TEST(IsUtf8, BoundariesOfEachLength) {
  const struct {
    std::string in;
    bool want;
  } cases[] = {
      {"", true}, {"\0"s, true}, {"a\0b"s, true}, {"\x7F", true}, {"\xC2\x80", true}, {"\xDF\xBF", true},
      {"\xE0\xA0\x80", true}, {"\xED\x9F\xBF", true}, {"\xEE\x80\x80", true}, {"\xEF\xBF\xBF", true},
      {"\xF0\x90\x80\x80", true}, {"\xF4\x8F\xBF\xBF", true}, {"caf\xC3\xA9 \xE2\x82\xAC", true},
      {"\x80", false},                  // a lone continuation byte
      {"\xC0\x80", false},              // NUL, overlong
      {"\xC1\xBF", false},              // overlong two-byte form
      {"\xE0\x9F\xBF", false},          // overlong three-byte form
      {"\xF0\x8F\xBF\xBF", false},      // overlong four-byte form
      {"\xED\xA0\x80", false},          // U+D800, a surrogate
      {"\xED\xBF\xBF", false},          // U+DFFF
      {"\xF4\x90\x80\x80", false},      // past U+10FFFF
      {"\xF5\x80\x80\x80", false}, {"\xF8\x88\x80\x80\x80", false}, {"\xFF", false}, {"\xFE", false},
      {"\xC3", false}, {"\xE2\x82", false}, {"\xF0\x90\x80", false},  // cut short at the end
      {"\xC3" "a", false}, {"\xE2\x82" "a", false}, {"\xE2" "a\x82", false},
      {"abcdefg\xFF", false}, {"abcdefgh\xFF", false}, {"abcdefghi\xFF", false},  // around an 8-byte word
      {"abcdefg\xC3\xA9xyzabcd", true}, {"\xC3\xA9" "abcdefghijklmnop\xE9", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(is_utf8(c.in), c.want);
    EXPECT_EQ(reference_utf8(c.in), c.want);  // the reference agrees with the table
  }
}

TEST(IsUtf8, AgreesWithThePlainReadingOnEveryShortSequence) {
  std::string s;
  for (std::uint32_t v = 0; v < (1u << 24); ++v) {  // every string of three bytes ...
    s.assign({static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)});
    if (is_utf8(s) != reference_utf8(s)) FAIL() << testing::PrintToString(s);
  }
  const unsigned char tails[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0xBF, 0xC0, 0xFF};
  for (int lead = 0xE0; lead < 0x100; ++lead)  // ... and of four, around every range
    for (int second = 0; second < 256; ++second)
      for (unsigned char third : tails)
        for (unsigned char fourth : tails) {
          s.assign({static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third),
                    static_cast<char>(fourth)});
          if (is_utf8(s) != reference_utf8(s)) FAIL() << testing::PrintToString(s);
        }
}

TEST(AppendBase64, PaddedStandardAlphabet) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\0"s, "AA=="}, {"\xFF\xFF\xFF", "////"}, {"\xFB\xEF\xBE", "++++"},
      {"\x00\x10\x83"s, "ABCD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(base64(c.in), c.want);
  }
}

TEST(AppendJsonText, EscapesOnlyQuoteBackslashAndControlBytes) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", R"("")"}, {"plain text", R"("plain text")"}, {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"}, {"\0"s, R"("\u0000")"}, {"\x01\x1F", R"("\u0001\u001f")"},
      {"\x0B", R"("\u000b")"}, {"/ \x7F '<>&", "\"/ \x7F '<>&\""}, {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""}, {"a\0b"s, R"("a\u0000b")"},
      {"\xFF", R"({"base64":"/w=="})"}, {"\xC0\x80", R"({"base64":"wIA="})"},
      {"\xED\xA0\x80", R"({"base64":"7aCA"})"}, {"ok\"\xE9", R"({"base64":"b2si6Q=="})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(json(c.in), c.want);
  }
}

TEST(AppendJsonText, EveryShortUtf8StringReadsBackAsItsBytes) {
  for (int a = 0; a < 256; ++a)
    for (int b = -1; b < 256; ++b) {
      std::string s(1, static_cast<char>(a));
      if (b >= 0) s += static_cast<char>(b);
      const std::string j = json(s);
      if (!is_utf8(s)) {
        ASSERT_EQ(j, "{\"base64\":\"" + base64(s) + "\"}");
        continue;
      }
      const auto back = read_json_string(j);
      ASSERT_TRUE(back.has_value()) << testing::PrintToString(j);
      ASSERT_EQ(*back, s) << testing::PrintToString(j);
    }
  // Longer strings are looked at eight bytes at a time: every byte at every
  // place of a word, and of the bytes after the last whole word.
  for (int b = 0; b < 256; ++b)
    for (std::size_t at = 0; at < 19; ++at) {
      std::string s = "abcdefghijklmnopqrs";
      s[at] = static_cast<char>(b);
      const std::string j = json(s);
      if (b >= 0x80) {
        ASSERT_EQ(j, "{\"base64\":\"" + base64(s) + "\"}");
        continue;
      }
      const auto back = read_json_string(j);
      ASSERT_TRUE(back.has_value()) << testing::PrintToString(j);
      ASSERT_EQ(*back, s) << testing::PrintToString(j);
      ASSERT_EQ(j.size() == s.size() + 2, b >= 0x20 && b != '"' && b != '\\') << testing::PrintToString(j);
    }
}

}  // namespace
