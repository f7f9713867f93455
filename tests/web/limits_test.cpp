#include <cgiecho/web/limits.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include <cgiecho/web/request.h>

#include "web/reading.h"

namespace {

using cgiecho::web::errc;
using cgiecho::web::Limits;
using cgiecho::web::Variables;
using namespace std::string_literals;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// The two readers of plain decimal numbers over the one rule
// (tests/text): a limit variable saturates past 64 bits, CONTENT_LENGTH
// tells too large apart from not a number.
TEST(PlainDecimal, WhatEachReaderMakesOfTooLarge) {
  const struct {
    std::string text;
    bool number;
    std::uint64_t value;
    errc length;  // content_length of the same text
  } cases[] = {
      {"0", true, 0, errc::ok},
      {"00012", true, 12, errc::ok},
      {"18446744073709551615", true, kMax, errc::ok},              // 2^64 - 1
      {"18446744073709551616", true, kMax, errc::body_too_large},  // 2^64: larger than any limit
      {"99999999999999999999999999", true, kMax, errc::body_too_large},
      {"99999999999999999999999999x", false, 0, errc::bad_content_length},
      {"+1", false, 0, errc::bad_content_length},
      {"1 ", false, 0, errc::bad_content_length},
      {"1\0"s, false, 0, errc::bad_content_length},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    std::uint64_t got = 7;
    EXPECT_EQ(cgiecho::web::parse_plain_decimal(c.text, got), c.number);
    EXPECT_EQ(got, c.number ? c.value : 7);
    std::uint64_t length = 7;
    EXPECT_EQ(cgiecho::web::content_length(true, c.text, length), c.length);
    EXPECT_EQ(length, c.length == errc::ok ? c.value : 7);
  }
  std::uint64_t got = 7;
  EXPECT_FALSE(cgiecho::web::parse_plain_decimal("", got));
  std::uint64_t length = 7;
  EXPECT_EQ(cgiecho::web::content_length(true, "", length), errc::ok);  // empty: no body
  EXPECT_EQ(length, 0u);
  length = 7;
  EXPECT_EQ(cgiecho::web::content_length(false, "12", length), errc::ok);  // absent: no body
  EXPECT_EQ(length, 0u);
}

TEST(LimitsFrom, RequestFirstThenFallbackAndEveryValueChecked) {
  const struct {
    std::string what;
    Variables request, fallback;
    errc want;
    std::uint64_t fields;  // max_fields when ok
    std::string bad;
  } cases[] = {
      {"none set: defaults", {}, {{"OTHER", "x"}}, errc::ok, 10'000, ""},
      {"request", {{"CGIECHO_MAX_FIELDS", "5"}}, {}, errc::ok, 5, ""},
      {"fallback", {}, {{"CGIECHO_MAX_FIELDS", "6"}}, errc::ok, 6, ""},
      {"request over fallback", {{"CGIECHO_MAX_FIELDS", "5"}}, {{"CGIECHO_MAX_FIELDS", "6"}}, errc::ok, 5, ""},
      {"a bad fallback that does not apply", {{"CGIECHO_MAX_FIELDS", "5"}}, {{"CGIECHO_MAX_FIELDS", "x"}},
       errc::ok, 5, ""},
      {"zero is zero", {{"CGIECHO_MAX_FIELDS", "0"}}, {}, errc::ok, 0, ""},
      {"past 64 bits", {{"CGIECHO_MAX_FIELDS", "99999999999999999999"}}, {}, errc::ok, kMax, ""},
      {"empty in the request", {{"CGIECHO_MAX_FIELDS", ""}}, {{"CGIECHO_MAX_FIELDS", "6"}}, errc::invalid_limit, 0,
       "CGIECHO_MAX_FIELDS"},
      {"bad in the fallback", {}, {{"CGIECHO_MAX_COOKIES", "3k"}}, errc::invalid_limit, 0, "CGIECHO_MAX_COOKIES"},
      {"signed", {{"CGIECHO_MEMORY", "+1"}}, {}, errc::invalid_limit, 0, "CGIECHO_MEMORY"},
      {"last of two entries", {{"CGIECHO_MAX_FIELDS", "x"}, {"CGIECHO_MAX_FIELDS", "7"}}, {}, errc::ok, 7, ""},
      {"a bad last entry", {{"CGIECHO_MAX_FIELDS", "7"}, {"CGIECHO_MAX_FIELDS", "x"}}, {}, errc::invalid_limit, 0,
       "CGIECHO_MAX_FIELDS"},
      {"names compared exactly", {{"cgiecho_max_fields", "x"}, {"CGIECHO_MAX_FIELDS ", "x"}}, {}, errc::ok, 10'000,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto got = cgiecho::web::limits_from(c.request, c.fallback, Limits{});
    EXPECT_EQ(got ? errc::ok : got.error().code(), c.want);
    EXPECT_EQ(got ? got->max_fields : 0, c.fields);
    EXPECT_EQ(got ? "" : got.error().detail(), c.bad);
  }
}

}  // namespace
