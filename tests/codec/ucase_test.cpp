#include "codec/ucase.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

TEST(CgiUcase, FoldsAsciiAndSevenCodePage437LettersOnly) {
  std::map<int, int> folds;
  for (int b = 'a'; b <= 'z'; ++b) folds[b] = b - 0x20;
  for (auto [from, to] : {std::pair{0x81, 0x9A}, {0x82, 0x90}, {0x84, 0x8E}, {0x86, 0x8F}, {0x87, 0x80},
                          {0x94, 0x99}, {0xA4, 0xA5}})
    folds[from] = to;
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const auto it = folds.find(b);
    const int want = it == folds.end() ? b : it->second;  // 0xC0-0xFF never fold
    const std::string in(1, static_cast<char>(b));
    EXPECT_EQ(static_cast<unsigned char>(cgiecho::cgi_ucase(in)[0]), want);
  }
  EXPECT_EQ(cgiecho::cgi_ucase(""), "");
  EXPECT_EQ(cgiecho::cgi_ucase(std::string("q\0s", 3)), std::string("Q\0S", 3));
}
