#include <cgiecho/codec/url_codec.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace std::string_literals;

// url_encode_to into a buffer of exactly url_encoded_size bytes, followed by
// guard bytes it must leave alone (no encoding contains 0xEE).
std::string encode_into_exact_buffer(std::string_view in) {
  const auto n = static_cast<std::size_t>(cgiecho::url_encoded_size(in));
  std::string buf(n + 4, '\xEE');
  cgiecho::url_encode_to(in, buf.data());
  EXPECT_EQ(buf.substr(n), "\xEE\xEE\xEE\xEE") << testing::PrintToString(in);
  buf.resize(n);
  return buf;
}

std::string decode_in_place(std::string s) {
  s.resize(cgiecho::url_decode_in_place(s.data(), s.size()));
  return s;
}

TEST(UrlEncode, KeepsLettersAndDigitsEscapesTheRest) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""}, {"a b&c", "a+b%26c"}, {"Hello, World!", "Hello%2C+World%21"},
      {"A-Z_0.9~", "A%2DZ%5F0%2E9%7E"}, {"100%", "100%25"}, {"x=1+2", "x%3D1%2B2"},
      {"a=1&b=2", "a%3D1%26b%3D2"}, {"\n", "%0A"}, {"\x0F", "%0F"}, {"\x10", "%10"}, {"\0"s, "%00"},
      {"a\0b"s, "a%00b"}, {"\x7F\x80\xFF", "%7F%80%FF"}, {"\xE9", "%E9"}, {"*/", "%2A%2F"},
      {"09AZaz", "09AZaz"}, {"@[`{", "%40%5B%60%7B"}, {"/:", "%2F%3A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(cgiecho::url_encode(c.in), c.want);
    EXPECT_EQ(cgiecho::url_encoded_size(c.in), c.want.size());
    EXPECT_EQ(encode_into_exact_buffer(c.in), c.want);
  }
}

TEST(UrlDecode, WellFormedInput) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""}, {"a+b%26c", "a b&c"}, {"a=1&b=2", "a=1&b=2"}, {"%41%42", "AB"}, {"%4a", "J"}, {"%4A", "J"},
      {"%e9", "\xE9"}, {"%20", " "}, {"+", " "}, {"++", "  "}, {"%2B", "+"}, {"%2541", "%41"},
      {"%00", "\0"s}, {"a%00b", "a\0b"s}, {"a\0b"s, "a\0b"s}, {"\xFF+", "\xFF "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(cgiecho::url_decode(c.in), c.want);
    EXPECT_EQ(decode_in_place(c.in), c.want);
  }
}

TEST(UrlDecode, MalformedEscapesNeverFail) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"%zz", "\0"s}, {"%g1", "\0"s}, {"%?4", "\0"s}, {"%1g", "\x01"}, {"%4zA", "\x04" "A"},
      {"%%41", "\0" "1"s}, {"%4", "\x04"}, {"%A", "\x0A"}, {"%", "%"}, {"50%", "50%"}, {"%41%", "A%"},
      {"a%-1b", "a\0b"s}, {"%+", "\0"s}, {"%+1", "\0"s}, {"%1+", "\x01"}, {"%%", "\0"s}, {"%%%", "\0"s},
      {"x%", "x%"}, {"x%f", "x\x0F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(cgiecho::url_decode(c.in), c.want);
    EXPECT_EQ(decode_in_place(c.in), c.want);
  }
}

TEST(UrlCodec, DecodeInvertsEncodeForAllShortStrings) {
  for (int a = 0; a < 256; ++a) {
    const std::string one(1, static_cast<char>(a));
    ASSERT_EQ(cgiecho::url_decode(cgiecho::url_encode(one)), one);
    for (int b = 0; b < 256; ++b) {
      const std::string two = one + static_cast<char>(b);
      ASSERT_EQ(cgiecho::url_decode(cgiecho::url_encode(two)), two);
    }
  }
}

TEST(UrlCodec, RoundTripAndLengthForRandomStrings) {
  std::mt19937 rng(12345);
  for (std::size_t len = 0; len < 300; ++len) {
    for (int mix = 0; mix < 3; ++mix) {
      std::string s(len, '\0');
      for (char& c : s) {
        const auto r = rng();
        // random bytes, form-like text, or mostly letters with a few specials
        c = mix == 0 ? static_cast<char>(r) : mix == 1 ? "ab c=&+%9Z<"[r % 11] : (r % 16 ? 'x' : static_cast<char>(r >> 8));
      }
      const std::string enc = cgiecho::url_encode(s);
      std::size_t want_len = 0;
      for (unsigned char b : s) want_len += (std::isalnum(b) && b < 0x80) || b == ' ' ? 1 : 3;
      ASSERT_EQ(enc.size(), want_len) << testing::PrintToString(s);
      ASSERT_EQ(cgiecho::url_encoded_size(s), want_len) << testing::PrintToString(s);
      ASSERT_EQ(encode_into_exact_buffer(s), enc);
      ASSERT_EQ(enc.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+%"),
                std::string::npos);
      ASSERT_EQ(cgiecho::url_decode(enc), s) << testing::PrintToString(s);
      ASSERT_EQ(decode_in_place(enc), s) << testing::PrintToString(s);
      ASSERT_EQ(decode_in_place(s), cgiecho::url_decode(s)) << testing::PrintToString(s);
    }
  }
}

// An encoding longer than 32 MiB comes back whole: nothing caps its length.
TEST(UrlEncode, LongEncodingIsNotCut) {
  const std::size_t n = 33554432 / 3 + 3;
  std::string in(n, '\xFF');
  in[n / 2] = 'a';
  in.back() = ' ';
  const std::string enc = cgiecho::url_encode(in);
  ASSERT_EQ(enc.size(), 3 * n - 4);
  ASSERT_EQ(cgiecho::url_encoded_size(in), 3 * n - 4);
  ASSERT_GT(enc.size(), std::size_t{33554432});
  EXPECT_EQ(enc.substr(0, 6), "%FF%FF");
  EXPECT_EQ(enc.substr(enc.size() - 7), "%FF%FF+");
  EXPECT_EQ(cgiecho::url_decode(enc), in);
}

}  // namespace
