#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/ascii.h"
#include "text/decimal.h"
#include "text/hex.h"
#include "text/variables.h"

namespace {

using namespace std::string_literals;
using cgiecho::text::Decimal;
using Outcome = Decimal::Outcome;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ParseDecimal, DigitsOnlyAndSixtyFourBits) {
  const struct {
    std::string in;
    Outcome outcome;
    std::uint64_t value;
  } cases[] = {
      {"0", Outcome::number, 0},
      {"7", Outcome::number, 7},
      {"00012", Outcome::number, 12},
      {"18446744073709551615", Outcome::number, kMax},   // 2^64 - 1
      {"018446744073709551615", Outcome::number, kMax},  // a leading zero does not count toward the size
      {"18446744073709551616", Outcome::too_large, 0},   // 2^64
      {"18446744073709551620", Outcome::too_large, 0},   // the last digit alone overflows
      {"99999999999999999999999999", Outcome::too_large, 0},
      {"99999999999999999999999999x", Outcome::not_a_number, 0},  // every byte checked before the size
      {"", Outcome::not_a_number, 0},
      {"+1", Outcome::not_a_number, 0},
      {"-0", Outcome::not_a_number, 0},
      {" 1", Outcome::not_a_number, 0},
      {"1 ", Outcome::not_a_number, 0},
      {"1\t", Outcome::not_a_number, 0},
      {"1.5", Outcome::not_a_number, 0},
      {"1e3", Outcome::not_a_number, 0},
      {"0x10", Outcome::not_a_number, 0},
      {"1\0"s, Outcome::not_a_number, 0},
      {"\0" "1"s, Outcome::not_a_number, 0},
      {"/", Outcome::not_a_number, 0},  // the bytes either side of the digits
      {":", Outcome::not_a_number, 0},
      {"\xD9\xA1", Outcome::not_a_number, 0},  // ARABIC-INDIC DIGIT ONE
      {"\xEF\xBC\x91", Outcome::not_a_number, 0},  // FULLWIDTH DIGIT ONE
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    const Decimal got = cgiecho::text::parse_decimal(c.in);
    EXPECT_EQ(got.outcome, c.outcome);
    EXPECT_EQ(got.value, c.value);
  }
}

// Every byte: only the 26 letters change, each into its other case, and a
// byte above 0x7F stays (a signed char must not turn it into a letter).
TEST(CaseFolding, OnlyAsciiLettersChange) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const char c = static_cast<char>(b);
    const bool upper = b >= 'A' && b <= 'Z';
    const bool lower = b >= 'a' && b <= 'z';
    EXPECT_EQ(cgiecho::text::to_lower(c), upper ? static_cast<char>(b + 32) : c);
    EXPECT_EQ(cgiecho::text::to_upper(c), lower ? static_cast<char>(b - 32) : c);
  }
}

TEST(EqualsIgnoringCase, LettersFoldNothingElseDoes) {
  const struct {
    std::string a, b;
    bool equal;
  } cases[] = {
      {"", "", true},
      {"Content-Type", "content-type", true},
      {"CONTENT-TYPE", "content-type", true},
      {"boundary", "BoUnDaRy", true},
      {"name", "names", false},
      {"names", "name", false},
      {"@", "`", false},  // 0x40 and 0x60 differ by the case bit but are no letters
      {"[", "{", false},
      {"\xC4", "\xE4", false},  // Latin-1 letters do not fold
      {"a\0b"s, "A\0B"s, true},
      {"a\0b"s, "a\0c"s, false},
      {"a", "a\0"s, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.a) + " " + testing::PrintToString(c.b));
    EXPECT_EQ(cgiecho::text::equals_ignoring_case(c.a, c.b), c.equal);
    EXPECT_EQ(cgiecho::text::equals_ignoring_case(c.b, c.a), c.equal);
    // Neither sorts before the other exactly when they are equal.
    const bool neither = !cgiecho::text::less_ignoring_case(c.a, c.b) && !cgiecho::text::less_ignoring_case(c.b, c.a);
    EXPECT_EQ(neither, c.equal);
    if (c.equal) { EXPECT_TRUE(cgiecho::text::starts_with_ignoring_case(c.a + "-tail", c.b)); }
  }
  EXPECT_TRUE(cgiecho::text::starts_with_ignoring_case("__HOST-id", "__Host-"));
  EXPECT_FALSE(cgiecho::text::starts_with_ignoring_case("__Hos", "__Host-"));
  EXPECT_TRUE(cgiecho::text::less_ignoring_case("apple", "Banana"));   // "a" < "b" whatever the case
  EXPECT_TRUE(cgiecho::text::less_ignoring_case("Zebra", "\xE9t\xE9"));  // above 0x7F sorts last
}

TEST(IsToken, LettersDigitsAndFifteenMarks) {
  std::string marks;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool alnum = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
    if (cgiecho::text::is_token_char(c) && !alnum) marks += c;
    if (alnum) { EXPECT_TRUE(cgiecho::text::is_token_char(c)) << b; }
    EXPECT_EQ(cgiecho::text::is_alnum(static_cast<unsigned char>(b)), alnum) << b;
  }
  EXPECT_EQ(marks, "!#$%&'*+-.^_`|~");
  const struct {
    std::string in;
    bool token;
  } cases[] = {
      {"form-data", true}, {"X-Custom_1", true}, {"", false},   {"a b", false}, {"a:b", false},
      {"\"q\"", false},    {"a\0"s, false},      {"\xE9", false}, {"a/b", false}, {"a;b", false},
  };
  for (const auto& c : cases) EXPECT_EQ(cgiecho::text::is_token(c.in), c.token) << testing::PrintToString(c.in);
}

TEST(TrimBlanks, SpacesAndTabsAtEitherEndOnly) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""},         {" ", ""},          {" \t \t", ""},       {"a", "a"},
      {" a ", "a"},     {"\ta\t", "a"},     {" a b ", "a b"},     {"a\t b", "a\t b"},
      {"\ra\n", "\ra\n"},  // line breaks are no blanks: a header line keeps them for its own check
      {"\0 a"s, "\0 a"s},   {"\xA0" "a", "\xA0" "a"},  // nor NUL, nor a no-break space
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    const std::string_view got = cgiecho::text::trim_blanks(c.in);
    EXPECT_EQ(got, c.want);
    if (!got.empty()) { EXPECT_GE(got.data(), c.in.data()); }  // a view into the input, not a copy
  }
}

// A log line holds printable ASCII only: every other byte, and the
// backslash that starts an escape, as \xhh. A page's message keeps bytes
// above 0x7F, so that a UTF-8 name reads as typed; the status page's
// spelling escapes a quote too, in capitals.
TEST(AppendPrintable, LogLinesHoldPrintableAsciiOnly) {
  const struct {
    std::string in, log, message, status_page;
  } cases[] = {
      {"/cgi-bin/x?a=1 ~", "/cgi-bin/x?a=1 ~", "/cgi-bin/x?a=1 ~", "/cgi-bin/x?a=1 ~"},
      {"a\nb\r\t\x1b[2J", "a\\x0ab\\x0d\\x09\\x1b[2J", "a\\x0ab\\x0d\\x09\\x1b[2J", "a\\x0Ab\\x0D\\x09\\x1B[2J"},
      {"\0\x1f\x7f"s, "\\x00\\x1f\\x7f", "\\x00\\x1f\\x7f", "\\x00\\x1F\\x7F"},
      {"a\\x41\"", "a\\x5cx41\"", "a\\x5cx41\"", "a\\x5Cx41\\x22"},
      {"\x80", "\\x80", "\x80", "\\x80"},
      {"\xff", "\\xff", "\xff", "\\xFF"},
      {"/a\xC2\x9B" "31m", "/a\\xc2\\x9b31m", "/a\xC2\x9B" "31m", "/a\\xC2\\x9B31m"},  // C1 CSI: a terminal's escape
      {"/a\xE2\x80\xA8z", "/a\\xe2\\x80\\xa8z", "/a\xE2\x80\xA8z", "/a\\xE2\\x80\\xA8z"},  // U+2028 breaks a line
      {"gr\xC3\xB6\xC3\x9F" "e", "gr\\xc3\\xb6\\xc3\\x9fe", "gr\xC3\xB6\xC3\x9F" "e", "gr\\xC3\\xB6\\xC3\\x9Fe"},
  };
  const cgiecho::text::Escaping message{false};
  const cgiecho::text::Escaping status_page{true, true, true};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    std::string log = "kept: ", shown, page;
    cgiecho::text::append_printable(c.in, log);
    cgiecho::text::append_printable(c.in, shown, message);
    cgiecho::text::append_printable(c.in, page, status_page);
    EXPECT_EQ(log, "kept: " + c.log);  // appended, never replacing
    EXPECT_EQ(shown, c.message);
    EXPECT_EQ(page, c.status_page);
  }
}

// Every byte: the 22 digits read as their place in either table, any
// other byte (the neighbours of each range, NUL, high bytes) as -1.
TEST(HexValue, TwentyTwoDigitsAndNothingElse) {
  int digits = 0;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const int got = cgiecho::text::hex_value(c);
    if (got >= 0) ++digits;
    EXPECT_TRUE(got == -1 || cgiecho::text::kHexUpper[got] == c || cgiecho::text::kHexLower[got] == c) << b;
  }
  EXPECT_EQ(digits, 22);
  for (int d = 0; d < 16; ++d) {
    EXPECT_EQ(cgiecho::text::hex_value(cgiecho::text::kHexUpper[d]), d);
    EXPECT_EQ(cgiecho::text::hex_value(cgiecho::text::kHexLower[d]), d);
  }
}

TEST(PercentEncode, KeptBytesAsTheyAreEveryOtherAsCapitalHex) {
  static constexpr cgiecho::text::ByteSet kKept([](unsigned char b) { return cgiecho::text::is_alnum(b) || b == '-'; });
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""},
      {"a-Z9", "a-Z9"},
      {"a b+c", "a%20b%2Bc"},
      {"100%", "100%25"},  // "%" is never kept here, so the encoding reads back
      {"\0\x1f\x7f"s, "%00%1F%7F"},
      {"\x80\xff\xC3\xA9", "%80%FF%C3%A9"},  // high bytes, never negative
      {"_.~", "%5F%2E%7E"},  // only what the set holds is kept
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(cgiecho::text::percent_encode(c.in, kKept), c.want);
  }
}

// HTTPS as servers set it: "on" in any case, or "1"; nothing else.
TEST(IsHttps, OnOrOne) {
  const struct {
    std::string value;
    bool https;
  } cases[] = {
      {"on", true},   {"ON", true},    {"On", true},   {"1", true},     {"", false},   {"off", false},
      {"0", false},   {"yes", false},  {"on ", false}, {" on", false},  {"1\0"s, false}, {"01", false},
  };
  for (const auto& c : cases) EXPECT_EQ(cgiecho::text::is_https(c.value), c.https) << testing::PrintToString(c.value);
}

TEST(FindVariable, TheLastEntryOfANameCounts) {
  using Variables = std::vector<std::pair<std::string, std::string>>;
  const Variables variables = {{"A", "1"}, {"B", ""}, {"A", "2"}, {"a", "3"}, {"C\0D"s, "4"}, {"", "5"}};
  const struct {
    std::string name;
    bool found;
    std::string value;
  } cases[] = {
      {"A", true, "2"},  // sent twice: the last one
      {"a", true, "3"},  // names are compared byte for byte
      {"B", true, ""},   // set and empty is still set
      {"C\0D"s, true, "4"},
      {"C", false, ""},
      {"", true, "5"},
      {"Z", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.name));
    const std::string* got = cgiecho::text::find_variable(variables, c.name);
    ASSERT_EQ(got != nullptr, c.found);
    if (got != nullptr) { EXPECT_EQ(*got, c.value); }
    EXPECT_EQ(cgiecho::text::value_of(variables, c.name), c.value);
  }
  EXPECT_EQ(cgiecho::text::find_variable(Variables{}, "A"), nullptr);
}

}  // namespace
