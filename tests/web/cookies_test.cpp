#include <cgiecho/web/cookies.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/web_fields.h"

namespace {

using cgiecho::web::Cookie;
using cgiecho::web::errc;
using namespace std::string_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairs_of(const std::vector<Cookie>& cookies) {
  Pairs out;
  for (const Cookie& c : cookies) out.emplace_back(c.name, c.value);
  return out;
}

TEST(ParseCookies, LenientRulesKeepEveryOtherCookie) {
  const struct {
    std::string header;
    Pairs want;
  } cases[] = {
      {"a=1; b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1;b=2;", {{"a", "1"}, {"b", "2"}}},
      {"", {}}, {";", {}}, {" ; ; ", {}},
      {" \ta\t = \t1 \t; b=2", {{"a", "1"}, {"b", "2"}}},       // spaces and tabs trimmed
      {"a= x y ", {{"a", "x y"}}},                                // inner blanks kept
      {"a=\"quoted\"", {{"a", "quoted"}}}, {"a=\"\"", {{"a", ""}}},
      {"a=\" spaced \"", {{"a", " spaced "}}},                    // trimmed first, then unquoted
      {"a=\"\"x\"\"", {{"a", "\"x\""}}},                          // one pair only
      {"a=\"open", {{"a", "\"open"}}}, {"a=close\"", {{"a", "close\""}}}, {"a=\"", {{"a", "\""}}},
      {"flag; a=1; =2; = ; b=", {{"a", "1"}, {"b", ""}}},        // no "=", empty names: skipped
      {"a=1=2", {{"a", "1=2"}}},                                  // the name runs to the first "="
      {"a=%41+b", {{"a", "%41+b"}}},                              // no URL decoding
      {"a=1; a=2; A=3", {{"a", "1"}, {"a", "2"}, {"A", "3"}}},    // duplicates kept, in order
      {"a b=1", {{"a b", "1"}}}, {"a,b=1, c=2", {{"a,b", "1, c=2"}}},
      {"n\0m=v\0w"s, {{"n\0m"s, "v\0w"s}}}, {"\xFF=\x80\xE4", {{"\xFF", "\x80\xE4"}}},
      {"a=1\r\n; b=2", {{"a", "1\r\n"}, {"b", "2"}}},             // other bytes kept as they are
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.header));
    const auto cookies = cgiecho::web::parse_cookies(c.header, 100);
    ASSERT_TRUE(cookies);
    EXPECT_EQ(pairs_of(*cookies), c.want);
  }
}

TEST(ParseCookies, LimitCountsOnlyCookiesThatAreKept) {
  const auto many = [](int n, const std::string& filler) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "c" + std::to_string(i) + "=v; " + filler;
    return s;
  };
  const struct {
    std::string header;
    std::uint64_t max;
    errc want;
  } cases[] = {
      {many(3'000, ""), 3'000, errc::ok},
      {many(3'001, ""), 3'000, errc::too_many_cookies},
      {many(3'000, "junk; =x; ; "), 3'000, errc::ok},  // skipped pieces are not counted
      {"a=1", 0, errc::too_many_cookies},
      {"junk; =x", 0, errc::ok},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.header.substr(0, 24)) + " max " + std::to_string(c.max));
    EXPECT_EQ(cgiecho::test::code_of(cgiecho::web::parse_cookies(c.header, c.max)), c.want);
  }
}

}  // namespace
