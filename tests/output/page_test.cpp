#include "output/page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/platform_fake.h"

namespace {

using namespace std::string_literals;
using cgiecho::fake::process;

const std::string kHead =
    "Content-type: text/html\r\n\r\n<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n<html><body>";
const std::string kTail = "\r\n</body></html>";

TEST(MakePage, FramesTheTextByteForByte) {
  const std::string texts[] = {"", "a<b", "x\0y\r\n\xFF"s, std::string(70000, '\0')};
  for (const auto& text : texts) {
    SCOPED_TRACE(text.size());
    const std::string page = cgiecho::make_page(text);
    EXPECT_EQ(page, kHead + text + kTail);
    EXPECT_EQ(page.size(), text.size() + 119);
  }
  EXPECT_EQ(kHead.size(), 103u);
}

TEST(MakePage, EscapesOnlyLessThanWhenAsked) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""}, {"<", "&lt;"}, {"a<<b", "a&lt;&lt;b"}, {"a>b&c=%3Cd%3E+e", "a>b&c=%3Cd%3E+e"},
      {"&lt;<", "&lt;&lt;"}, {"<\0<"s, "&lt;\0&lt;"s}, {"x<", "x&lt;"}, {"<x", "&lt;x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(cgiecho::make_page(c.in, cgiecho::Markup::kEscapeLessThan), kHead + c.want + kTail);
  }
}

TEST(WriteWithHeader, HeaderOnlyOnTheFirstCall) {
  cgiecho::fake::reset();
  cgiecho::write_with_header("");
  cgiecho::write_with_header("a\0b"s);
  const std::vector<std::string> want = {"Content-type: text/html\r\n", "\r\n", "", "\r\n", "a\0b"s, "\r\n"};
  EXPECT_EQ(process().writes, want);
}

TEST(WriteLine, TextThenLineBreakAsTwoWrites) {
  cgiecho::fake::reset();
  cgiecho::write_line("");
  cgiecho::write_line("x");
  const std::vector<std::string> want = {"", "\r\n", "x", "\r\n"};
  EXPECT_EQ(process().writes, want);
}

}  // namespace
