#include <cgiecho/web/form.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/web_fields.h"

namespace {

using cgiecho::web::errc;
using cgiecho::web::Field;
using namespace std::string_literals;
using cgiecho::test::decoded;
using cgiecho::test::Pairs;
using cgiecho::test::code_of;
using cgiecho::test::inside;

TEST(ParseUrlencoded, SplitsAndDecodesByTheFormRules) {
  const struct {
    std::string text;
    Pairs want;
  } cases[] = {
      {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1;b=2", {{"a", "1;b=2"}}},                    // ";" is data
      {"&&a=1&&&b&", {{"a", "1"}, {"b", ""}}},          // empty pieces skipped
      {"", {}}, {"&", {}}, {"&&&", {}},
      {"a", {{"a", ""}}}, {"=", {{"", ""}}}, {"=v", {{"", "v"}}}, {"a=", {{"a", ""}}},
      {"a==b", {{"a", "=b"}}}, {"a=b=c", {{"a", "b=c"}}},  // split at the first "="
      {"a+b=c+d", {{"a b", "c d"}}}, {"+=+", {{" ", " "}}}, {"a%2Bb=%2b", {{"a+b", "+"}}},
      {"%41%42=%4a%4A", {{"AB", "JJ"}}}, {"%3D=%3d%26", {{"=", "=&"}}},
      // A "%" without two hex digits stays as it is, and so do the bytes after it.
      {"%=%", {{"%", "%"}}}, {"%4=%4g", {{"%4", "%4g"}}}, {"%%41=1", {{"%A", "1"}}}, {"a%2=%", {{"a%2", "%"}}},
      {"%zz=%g0", {{"%zz", "%g0"}}}, {"%%=%%%", {{"%%", "%%%"}}}, {"x=%+1", {{"x", "% 1"}}},
      {"a=1&a=2&a", {{"a", "1"}, {"a", "2"}, {"a", ""}}},  // repeated names kept in order
      {" a = 1 ", {{" a ", " 1 "}}},                        // no trimming
      {"a%00b=c%00", {{"a\0b"s, "c\0"s}}}, {"\0=\0&\0"s, {{"\0"s, "\0"s}, {"\0"s, ""}}},
      {"\xFF\x80=\xE4", {{"\xFF\x80", "\xE4"}}}, {"%FF=%e4%C3%A4", {{"\xFF", "\xE4\xC3\xA4"}}},  // no charset conversion
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const auto fields = cgiecho::web::parse_urlencoded(c.text, 100, errc::too_many_fields);
    ASSERT_TRUE(fields);
    EXPECT_EQ(decoded(*fields), c.want);
    for (const Field& f : *fields) {
      EXPECT_TRUE(f.encoded);
      EXPECT_TRUE(inside(f.raw_name, c.text));
      EXPECT_TRUE(inside(f.raw_value, c.text));
    }
  }
}

TEST(ParseUrlencoded, FieldLimitCountsFieldsNotPieces) {
  const std::string exactly = [] {
    std::string s;
    for (int i = 0; i < 10'000; ++i) s += "f" + std::to_string(i) + "=v&&";
    return s;
  }();
  const struct {
    std::string text;
    std::uint64_t max;
    errc too_many;
    errc want;
  } cases[] = {
      {"a&b&c", 3, errc::too_many_fields, errc::ok},
      {"a&b&c", 2, errc::too_many_fields, errc::too_many_fields},
      {"a&b&c", 2, errc::too_many_query_fields, errc::too_many_query_fields},
      {"a&&b&&", 2, errc::too_many_fields, errc::ok},
      {"", 0, errc::too_many_fields, errc::ok},
      {"&&&", 0, errc::too_many_fields, errc::ok},
      {"a", 0, errc::too_many_fields, errc::too_many_fields},
      {exactly, 10'000, errc::too_many_fields, errc::ok},
      {exactly + "x", 10'000, errc::too_many_fields, errc::too_many_fields},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text.substr(0, 20)) + " max " + std::to_string(c.max));
    EXPECT_EQ(code_of(cgiecho::web::parse_urlencoded(c.text, c.max, c.too_many)), c.want);
  }
}

// Room is taken for the fields the text holds, not for what a raised
// limit would allow: 16 MiB of "&" under a limit of 2^64 - 1 once reserved
// a field per "&" (640 MB).
TEST(ParseUrlencoded, ReservesNoMoreThanTheFieldsThereAre) {
  const std::string ampersands(std::size_t{16} << 20, '&');
  std::string mixed;
  for (int i = 0; i < 1000; ++i) mixed += "a&&&&&&&&&";
  const struct {
    const char* what;
    const std::string& text;
    std::size_t fields;
  } cases[] = {{"only &", ampersands, 0}, {"one field in ten bytes", mixed, 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto fields = cgiecho::web::parse_urlencoded(c.text, UINT64_MAX, errc::too_many_fields);
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->size(), c.fields);
    EXPECT_LE(fields->capacity(), c.fields + 1);
  }
}

TEST(FormDecode, KeepsMalformedEscapes) {
  const struct {
    std::string raw, want;
  } cases[] = {
      {"", ""}, {"+", " "}, {"%20", " "}, {"%", "%"}, {"%2", "%2"}, {"%2x", "%2x"}, {"%x2", "%x2"},
      {"100%", "100%"}, {"%%20", "% "}, {"%2%20", "%2 "}, {"%00", "\0"s}, {"%fF", "\xFF"},
      {"a\0b"s, "a\0b"s}, {"%%%", "%%%"}, {"%25%32%30", "%20"},  // decoded once, never twice
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.raw));
    EXPECT_EQ(cgiecho::web::form_decode(c.raw).value_or("(failed)"), c.want);
  }
}

// name_is compares without decoding into a string: it must agree with
// decoding for every short name, escapes and their malformed forms included.
TEST(FieldNameIs, AgreesWithTheDecodedName) {
  const std::string alphabet = "%+a4F=\0\xFF"s;
  std::vector<std::string> raws = {""};
  for (int len = 1; len <= 3; ++len) {
    const std::size_t before = raws.size();
    for (std::size_t i = 0; i < before; ++i)
      if (raws[i].size() == static_cast<std::size_t>(len - 1))
        for (char c : alphabet) raws.push_back(raws[i] + c);
  }
  std::vector<std::string> names;
  for (const auto& r : raws) names.push_back(cgiecho::web::form_decode(r).value());
  for (const auto& raw : raws) {
    const Field f{raw, "", true};
    const std::string mine = f.name().value();
    for (const auto& name : names) {
      if (f.name_is(name) != (mine == name)) {
        ADD_FAILURE() << testing::PrintToString(raw) << " against " << testing::PrintToString(name);
        return;
      }
    }
  }
}

TEST(FindField, FirstOfThatDecodedNameOrNull) {
  const std::string text = "a=1&b%20c=2&a=3&d+e=4&%FF=5";
  std::vector<Field> fields = cgiecho::web::parse_urlencoded(text, 100, errc::too_many_fields).value();
  fields.push_back(Field{"raw%20name", "6", false});  // a multipart text part: its bytes as sent
  const struct {
    std::string name;
    const char* want;  // the raw value found; null: none
  } cases[] = {{"a", "1"}, {"b c", "2"}, {"b%20c", nullptr}, {"d e", "4"}, {"d+e", nullptr},
               {"\xFF", "5"}, {"raw%20name", "6"}, {"raw name", nullptr}, {"", nullptr}, {"A", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.name));
    const Field* f = cgiecho::web::find_field(fields, c.name);
    if (c.want == nullptr) {
      EXPECT_EQ(f, nullptr);
    } else {
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->raw_value, c.want);
    }
  }
}

}  // namespace
