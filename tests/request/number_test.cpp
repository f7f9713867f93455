#include "request/number.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr std::int32_t kOut = INT32_MIN;

struct Row {
  std::string in;
  std::int32_t want;
};

void check(const Row* begin, const Row* end) {
  for (const Row* c = begin; c != end; ++c) {
    SCOPED_TRACE(testing::PrintToString(c->in));
    EXPECT_EQ(cgiecho::cgi_val(c->in), c->want);
  }
}
template <std::size_t N>
void check(const Row (&rows)[N]) {
  check(rows, rows + N);
}

TEST(CgiVal, DecimalForms) {
  const Row rows[] = {
      {"123", 123}, {"", 0}, {"abc", 0}, {"-7", -7}, {"+7", 7}, {"42abc", 42}, {"1e3", 1000}, {"1E3", 1000},
      {"2.5D1", 25}, {"2.5d1", 25}, {"1e", 1}, {"1e+", 1}, {"5.", 5}, {".", 0}, {"-", 0}, {"+-1", 0},
      {".e5", 0}, {"e5", 0}, {"1.2.3", 1}, {"00012", 12}, {"1e-1", 0}, {"15e-1", 2}, {"--1", 0},
      {"0e9999", 0}, {"0.0", 0}, {"7 8", 7}};
  check(rows);
}

TEST(CgiVal, LeadingWhitespace) {
  const Row rows[] = {{" 42", 42}, {"\t42", 42}, {"\n42", 42}, {" \t\n 42", 42}, {"\r42", 0}, {"\v42", 0},
                      {"\f42", 0}, {" &H1F", 31}, {"\r&H1F", 0}};
  check(rows);
}

TEST(CgiVal, HalvesRoundToEven) {
  const Row rows[] = {{"12.5", 12}, {"13.5", 14}, {"0.5", 0}, {"1.5", 2}, {"2.5", 2}, {"-0.5", 0},
                      {"-1.5", -2}, {"-2.5", -2}, {"12.4999", 12}, {"12.5001", 13}, {"125e-1", 12},
                      {"0.500000000000000001", 1}, {"0.49999999999999999", 0},
                      // an 18th significant digit decides; a 19th is read as zero
                      {"2.50000000000000001", 3}, {"2.500000000000000001", 2}};
  check(rows);
}

TEST(CgiVal, ThirtyTwoBitLimits) {
  const Row rows[] = {{"2147483647", 2147483647}, {"2147483648", kOut}, {"-2147483648", INT32_MIN},
                      {"-2147483649", kOut}, {"2147483647.4", 2147483647}, {"2147483647.5", kOut},
                      {"-2147483648.5", INT32_MIN}, {"-2147483648.6", kOut}, {"99999999999", kOut},
                      {"1e9", 1000000000}, {"1e10", kOut}, {"1e9999", kOut}, {"1e99999999", kOut},
                      {"1e-9999", 0}, {"1e-99999999", 0}, {"21474836470e-1", 2147483647}};
  check(rows);
}

TEST(CgiVal, OnlyEighteenSignificantDigitsCount) {
  const Row rows[] = {
      // digits past the 18th count as zeros, so the magnitude stays
      {"0000000000000000000000000000042", 42},
      {"123456789012345678999e-12", 123456789},
      {"1234567890123456789e-10", 123456789},
      {"1234567890123456785e-10", 123456789},  // ...78|5 -> ...78 0e-10: below the half
      {"0.000000000000000000000000001e27", 1}};
  check(rows);
}

TEST(CgiVal, RadixForms) {
  const Row rows[] = {{"&H1F", 31}, {"&h1f", 31}, {"&B101", 5}, {"&b101", 5}, {"&O17", 15}, {"&o17", 15},
                      {"&Q17", 15}, {"&q17", 15}, {"&17", 15}, {"&HG", 0}, {"&", 0}, {"&H", 0}, {"&9", 0},
                      {"&B2", 0}, {"&-5", 0}, {"&H1Fz", 31}, {"&B1012", 5}, {"&178", 15}};
  check(rows);
}

TEST(CgiVal, RadixSignsAndSuffixes) {
  const Row rows[] = {{"&HFFFF", -1}, {"&H8000", -32768}, {"&H7FFF", 32767}, {"&H0FFFF", 65535},
                      {"&HFFFF&", 65535}, {"&HFFFF&&", 65535}, {"&HFFFF%", -1}, {"&HFFFF?", 65535},
                      {"&HFFFF??", 65535}, {"&HFFFF???", 65535}, {"&HFFFFFFFF", -1},
                      {"&HFFFFFFFF&", -1}, {"&HFFFFFFFF&&", kOut}, {"&H0FFFFFFFF", kOut},
                      {"&H80000000", INT32_MIN}, {"&HFFFFFFFF?", kOut}, {"&H100000000", kOut},
                      {"&HFFFFFFFFFFFFFFFF", -1}, {"&HFFFFFFFFFFFFFFFF?", 0},
                      {"&HFFFFFFFFFFFFFFFE", -2}, {"&H7FFFFFFFFFFFFFFF?", kOut},
                      {"&H10000000000000000", 0},  // more than 64 bits
                      {"&B1111111111111111", -1}, {"&177777", -1}};
  check(rows);
}

}  // namespace
