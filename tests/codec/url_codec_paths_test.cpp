#include "codec/url_codec_paths.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <cgiecho/codec/url_codec.h>

namespace cgiecho::detail {
// Test names and messages show the path by its name.
void PrintTo(url_path path, std::ostream* os) { *os << url_path_name(path); }
}  // namespace cgiecho::detail

namespace {

using cgiecho::detail::url_path;
using cgiecho::detail::url_decode_on;

// Each vector path of the decoder, run explicitly whatever the dispatcher
// would pick, against the scalar path. A path this CPU or build lacks is
// reported as skipped, with the reason.
class UrlCodecVectorPath : public testing::TestWithParam<url_path> {
 protected:
  void SetUp() override {
    if (!cgiecho::detail::url_path_available(GetParam())) {
      GTEST_SKIP() << "the " << cgiecho::detail::url_path_name(GetParam())
                   << " path is not available on this CPU or in this build";
    }
  }
};
INSTANTIATE_TEST_SUITE_P(Paths, UrlCodecVectorPath, testing::Values(url_path::sse2, url_path::avx2),
                         [](const testing::TestParamInfo<url_path>& path) {
                           return std::string(cgiecho::detail::url_path_name(path.param));
                         });

std::string scalar_decode(std::string_view s) { return url_decode_on(url_path::scalar, s); }

std::size_t encoded_length(std::string_view s) {
  std::size_t n = 0;
  for (const unsigned char b : s) {
    const bool single = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == ' ';
    n += single ? 1 : 3;
  }
  return n;
}

// Random text of one of several kinds: which bytes are common decides where
// the vector loops cut their blocks.
std::string random_text(std::mt19937& rng, std::size_t len, int kind) {
  static constexpr char kForm[] = "abcdefXYZ0189 =&+%<.";
  static constexpr char kEncoded[] = "%%%%+aF09gz%";  // dense, often malformed escapes
  std::string s(len, '\0');
  for (char& c : s) {
    const auto r = rng();
    switch (kind) {
      case 0: c = static_cast<char>(r); break;                                  // any byte
      case 1: c = kForm[r % (sizeof kForm - 1)]; break;                        // form-like
      case 2: c = r % 23 ? 'q' : static_cast<char>(r >> 8); break;              // rare specials
      default: c = kEncoded[r % (sizeof kEncoded - 1)]; break;                  // escape soup
    }
  }
  return s;
}

// Random texts of every length across the block and window widths, four of
// each kind at each length, so each vector loop meets a block cut at every
// place and every length of scalar tail.
std::vector<std::string> random_texts() {
  std::mt19937 rng(2024);
  std::vector<std::string> all;
  for (std::size_t len = 0; len <= 200; ++len)
    for (int kind = 0; kind < 4; ++kind)
      for (int rep = 0; rep < 4; ++rep) all.push_back(random_text(rng, len, kind));
  return all;
}

// The encoding has the counted length and the scalar path decodes it back.
TEST(UrlCodecPaths, RandomTextEncodesAndDecodesBack) {
  for (const std::string& s : random_texts()) {
    const std::string enc = cgiecho::url_encode(s);
    ASSERT_EQ(enc.size(), encoded_length(s)) << testing::PrintToString(s);
    ASSERT_EQ(scalar_decode(enc), s) << testing::PrintToString(s);
  }
}

TEST_P(UrlCodecVectorPath, RandomTextDecodesAsOnTheScalarPath) {
  for (const std::string& s : random_texts()) {
    ASSERT_EQ(url_decode_on(GetParam(), cgiecho::url_encode(s)), s) << testing::PrintToString(s);
    ASSERT_EQ(url_decode_on(GetParam(), s), scalar_decode(s)) << testing::PrintToString(s);
  }
}

TEST(UrlCodecPaths, EveryByteValueAtEveryOffsetDecodesBack) {
  for (int b = 0; b < 256; ++b) {
    for (std::size_t at = 0; at < 170; ++at) {
      std::string s(170, 'k');
      s[at] = static_cast<char>(b);
      ASSERT_EQ(scalar_decode(cgiecho::url_encode(s)), s) << b << " at " << at;
    }
  }
}

TEST_P(UrlCodecVectorPath, EveryByteValueAtEveryBlockOffset) {
  for (int b = 0; b < 256; ++b) {
    for (std::size_t at = 0; at < 170; ++at) {
      std::string s(170, 'k');
      s[at] = static_cast<char>(b);
      ASSERT_EQ(url_decode_on(GetParam(), s), scalar_decode(s)) << b << " at " << at;
      ASSERT_EQ(url_decode_on(GetParam(), cgiecho::url_encode(s)), s) << b << " at " << at;
    }
  }
}

// An escape may straddle the end of a vector block, a window or the input.
// Each pattern goes at every offset of inputs a little shorter and longer
// than one to four blocks of either width, after a prefix that keeps the write position
// level with the read position or puts it well behind (many escapes first).
TEST_P(UrlCodecVectorPath, MalformedEscapesAcrossBlockEdges) {
  using namespace std::string_literals;
  const std::string patterns[] = {"%zz", "%1g", "%4zA", "%%41", "%4", "%", "%%", "%41", "%+1", "+%2B", "%\0"s};
  const std::string prefixes[] = {"", "%41", "a%41%42%43", "%41%42%43%44%45%46%47", "%41%42%43%44%45%46%47%48%49%4A%4B%4C%4D%4E%4F%50%51"};
  const std::size_t lengths[] = {13, 14, 15, 16, 17, 18, 29, 30, 31, 32, 33, 34, 35, 47, 48, 49, 63, 64, 65, 66, 95, 96, 97, 98, 127, 128, 129, 130};
  for (const auto& prefix : prefixes) {
    for (const auto& pattern : patterns) {
      for (const std::size_t len : lengths) {
        for (std::size_t at = 0; at + pattern.size() <= len; ++at) {
          std::string s = prefix + std::string(len, 'x');
          s.replace(prefix.size() + at, pattern.size(), pattern);
          ASSERT_EQ(url_decode_on(GetParam(), s), scalar_decode(s)) << testing::PrintToString(s);
        }
      }
    }
  }
}

// Spot checks that the scalar path itself, not only the dispatcher, keeps
// the lenient rules, each escape placed right at the end of the input.
TEST(UrlCodecPaths, ScalarPathKeepsTheLenientRules) {
  using namespace std::string_literals;
  const struct {
    std::string in, want;
  } cases[] = {
      {"%zz", "\0"s}, {"%1g", "\x01"}, {"%4zA", "\x04" "A"}, {"%%41", "\0" "1"s}, {"ab%4", "ab\x04"},
      {"ab%", "ab%"}, {"ab%2", "ab\x02"}, {"ab%2B", "ab+"}, {"+%41+", " A "}, {"%41%", "A%"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(scalar_decode(c.in), c.want);
  }
}

// Long inputs run many blocks with the write position far behind the read
// position, and windows that switch between the scalar step and the vector
// loop (kind 4 alternates dense and sparse stretches).
std::vector<std::string> long_inputs() {
  std::mt19937 rng(77);
  std::vector<std::string> all;
  for (int kind = 0; kind < 5; ++kind) {
    std::string s;
    if (kind < 4) {
      s = random_text(rng, 100000 + static_cast<std::size_t>(kind), kind);
    } else {
      for (std::size_t len = 1; s.size() < 100000; len = len * 7 % 997 + 1) s += random_text(rng, len, len % 2 ? 0 : 2);
    }
    all.push_back(std::move(s));
  }
  return all;
}

// The scalar path decodes them back, and the dispatcher agrees with it.
TEST(UrlCodecPaths, LongInputsDecodeBackAndDispatchAgrees) {
  int kind = 0;
  for (const std::string& s : long_inputs()) {
    SCOPED_TRACE(kind++);
    const std::string enc = cgiecho::url_encode(s);
    ASSERT_EQ(enc.size(), encoded_length(s));
    ASSERT_EQ(scalar_decode(enc), s);
    EXPECT_EQ(cgiecho::url_decode(enc), s);
    EXPECT_EQ(cgiecho::url_decode(s), scalar_decode(s));
  }
}

TEST_P(UrlCodecVectorPath, LongInputsAgree) {
  int kind = 0;
  for (const std::string& s : long_inputs()) {
    SCOPED_TRACE(kind++);
    EXPECT_EQ(url_decode_on(GetParam(), cgiecho::url_encode(s)), s);
    EXPECT_EQ(url_decode_on(GetParam(), s), scalar_decode(s));
  }
}

}  // namespace
