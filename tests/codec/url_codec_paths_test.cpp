#include "codec/url_codec_paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codec/url_codec.h"

namespace {

using cgiecho::detail::url_path;

struct path_fns {
  url_path path;
  std::string (*encode)(std::string_view);
  std::string (*decode)(std::string_view);
};

// The vector paths, each run explicitly whatever the dispatcher would pick.
// A path the CPU lacks is left out, and says so.
std::vector<path_fns> vector_paths() {
  const path_fns all[] = {
      {url_path::sse2, cgiecho::detail::url_encode_sse2, cgiecho::detail::url_decode_sse2},
      {url_path::avx2, cgiecho::detail::url_encode_avx2, cgiecho::detail::url_decode_avx2},
  };
  std::vector<path_fns> out;
  for (const auto& p : all) {
    if (cgiecho::detail::url_path_available(p.path)) {
      out.push_back(p);
    } else {
      std::printf("skipping the %s path: not available here\n", cgiecho::detail::url_path_name(p.path));
    }
  }
  return out;
}

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

TEST(UrlCodecPaths, ScalarIsAlwaysAvailableAndDispatchPicksAnAvailablePath) {
  EXPECT_TRUE(cgiecho::detail::url_path_available(url_path::scalar));
  EXPECT_TRUE(cgiecho::detail::url_path_available(cgiecho::detail::best_url_path()));
  std::printf("dispatching to the %s path\n", cgiecho::detail::url_path_name(cgiecho::detail::best_url_path()));
}

// Lengths run across every block width, so each vector loop meets a block
// cut at every place and every length of scalar tail.
TEST(UrlCodecPaths, RandomTextEncodesAndDecodesAlikeOnEveryPath) {
  const auto paths = vector_paths();
  std::mt19937 rng(2024);
  for (std::size_t len = 0; len <= 130; ++len) {
    for (int kind = 0; kind < 4; ++kind) {
      for (int rep = 0; rep < 4; ++rep) {
        const std::string s = random_text(rng, len, kind);
        const std::string enc = cgiecho::detail::url_encode_scalar(s);
        ASSERT_EQ(enc.size(), encoded_length(s)) << testing::PrintToString(s);
        ASSERT_EQ(cgiecho::detail::url_decode_scalar(enc), s) << testing::PrintToString(s);
        const std::string dec = cgiecho::detail::url_decode_scalar(s);
        for (const auto& p : paths) {
          SCOPED_TRACE(cgiecho::detail::url_path_name(p.path));
          ASSERT_EQ(p.encode(s), enc) << testing::PrintToString(s);
          ASSERT_EQ(p.decode(enc), s) << testing::PrintToString(enc);
          ASSERT_EQ(p.decode(s), dec) << testing::PrintToString(s);
        }
      }
    }
  }
}

TEST(UrlCodecPaths, EveryByteValueAtEveryBlockOffset) {
  const auto paths = vector_paths();
  for (int b = 0; b < 256; ++b) {
    for (std::size_t at = 0; at < 70; ++at) {
      std::string s(70, 'k');
      s[at] = static_cast<char>(b);
      const std::string enc = cgiecho::detail::url_encode_scalar(s);
      const std::string dec = cgiecho::detail::url_decode_scalar(s);
      ASSERT_EQ(cgiecho::detail::url_decode_scalar(enc), s);
      for (const auto& p : paths) {
        SCOPED_TRACE(cgiecho::detail::url_path_name(p.path));
        ASSERT_EQ(p.encode(s), enc) << b << " at " << at;
        ASSERT_EQ(p.decode(s), dec) << b << " at " << at;
        ASSERT_EQ(p.decode(enc), s) << b << " at " << at;
      }
    }
  }
}

// An escape may straddle the end of a vector block or of the input. Each
// pattern goes at every offset of inputs a little shorter and longer than one
// and two blocks of either width, after a prefix that keeps the write position
// level with the read position or puts it well behind (many escapes first).
TEST(UrlCodecPaths, MalformedEscapesAcrossBlockEdges) {
  using namespace std::string_literals;
  const auto paths = vector_paths();
  const std::string patterns[] = {"%zz", "%1g", "%4zA", "%%41", "%4", "%", "%%", "%41", "%+1", "+%2B", "%\0"s};
  const std::string prefixes[] = {"", "%41", "a%41%42%43", "%41%42%43%44%45%46%47", "%41%42%43%44%45%46%47%48%49%4A%4B%4C%4D%4E%4F%50%51"};
  const std::size_t lengths[] = {13, 14, 15, 16, 17, 18, 29, 30, 31, 32, 33, 34, 35, 47, 48, 49, 63, 64, 65, 66};
  for (const auto& prefix : prefixes) {
    for (const auto& pattern : patterns) {
      for (const std::size_t len : lengths) {
        for (std::size_t at = 0; at + pattern.size() <= len; ++at) {
          std::string s = prefix + std::string(len, 'x');
          s.replace(prefix.size() + at, pattern.size(), pattern);
          const std::string want = cgiecho::detail::url_decode_scalar(s);
          for (const auto& p : paths) {
            SCOPED_TRACE(cgiecho::detail::url_path_name(p.path));
            ASSERT_EQ(p.decode(s), want) << testing::PrintToString(s);
          }
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
    EXPECT_EQ(cgiecho::detail::url_decode_scalar(c.in), c.want);
  }
}

// Long inputs run many blocks with the write position far behind the read
// position; the dispatcher agrees with the scalar path too.
TEST(UrlCodecPaths, LongInputsAgree) {
  auto paths = vector_paths();
  paths.push_back({url_path::scalar, cgiecho::url_encode, cgiecho::url_decode});
  std::mt19937 rng(77);
  for (int kind = 0; kind < 4; ++kind) {
    const std::string s = random_text(rng, 100000 + static_cast<std::size_t>(kind), kind);
    const std::string enc = cgiecho::detail::url_encode_scalar(s);
    const std::string dec = cgiecho::detail::url_decode_scalar(s);
    for (const auto& p : paths) {
      SCOPED_TRACE(kind);
      EXPECT_EQ(p.encode(s), enc);
      EXPECT_EQ(p.decode(enc), s);
      EXPECT_EQ(p.decode(s), dec);
    }
  }
}

}  // namespace
