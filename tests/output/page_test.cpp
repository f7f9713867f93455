#include <cgiecho/output/page.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/platform_fake.h"
#include "support/expected_page.h"

namespace {

using namespace std::string_literals;
using cgiecho::fake::process;

TEST(MakePage, FramesTheTextByteForByte) {
  const std::string texts[] = {"", "a<b", "x\0y\r\n\xFF"s, std::string(70000, '\0')};
  for (const auto& text : texts) {
    SCOPED_TRACE(text.size());
    const std::string page = cgiecho::make_page(text);
    EXPECT_EQ(page, cgiecho::test::expected_page(text));
    EXPECT_EQ(page.size(), text.size() + 119);
  }
  EXPECT_EQ(cgiecho::make_page("").size(), 119u);
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
    EXPECT_EQ(cgiecho::make_page(c.in, cgiecho::Markup::kEscapeLessThan), cgiecho::test::expected_page(c.want));
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
