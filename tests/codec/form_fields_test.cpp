#include "codec/form_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::vector<std::string> pairs_of(const std::string& form) {
  std::vector<std::string> out;
  cgiecho::for_each_pair(form, [&](std::string_view p) { out.emplace_back(p); });
  return out;
}

TEST(FormPairs, SplitOnAmpersandOnly) {
  const struct {
    std::string form;
    std::vector<std::string> pairs;
  } cases[] = {
      {"a=1&b=x%3Cy", {"a=1", "b=x%3Cy"}}, {"a&b=&=5", {"a", "b=", "=5"}}, {"", {}}, {"a=1&", {"a=1", ""}},
      {"&&", {"", "", ""}}, {"a=1;b=2", {"a=1;b=2"}}, {" a = 1 ", {" a = 1 "}}, {"a\0&b"s, {"a\0"s, "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.form));
    EXPECT_EQ(pairs_of(c.form), c.pairs);
    EXPECT_EQ(cgiecho::count_pairs(c.form), c.pairs.size());
  }
}

TEST(FieldValue, MatchesTheRawPairAfterUpperCasing) {
  const struct {
    std::string form, name, want;
  } cases[] = {
      {"a=1&b=x%3Cy", "b", "x\xABy"}, {"a=1&b=x%3Cy", "B", "x\xABy"}, {"a=1&b=x%3Cy", "c", ""},
      {"name=Joe+Smith&name=Ann", "name", "Joe Smith"}, {"a=&a=2", "a", ""}, {"ab=1&a=2", "a", "2"},
      {"a&b=&=5", "a", ""}, {"a&b=&=5", "b", ""}, {"a&b=&=5", "", "5"}, {"x=1=2", "x", "1=2"},
      {"a=b=z", "a=b", "z"}, {"q=%3E%07%08%26", "q", "\xBB&%&"}, {"q=<>\x07\x08", "q", "\xAB\xBB&%"},
      {"first+name=Jo", "first+name", "Jo"}, {"first+name=Jo", "first name", ""}, {"k%3cx=1", "K%3Cx", "1"},
      {" a=1", "a", ""}, {" a=1", " a", "1"}, {"a=1&b=2", "a&b", ""}, {"\x8E=1", "\x84", "1"},
      {"\xC4=1", "\xE4", ""}, {"", "a", ""}, {"", "", ""}, {"A=1", "a", "1"}, {"a=1", "A", "1"},
      {"n\0x=1"s, "N\0X"s, "1"}, {"v=a%00b", "v", "a\0b"s}, {"x=1&", "x", "1"}, {"&x=2", "x", "2"},
      {"a", "a", ""}, {"a=", "a", ""}, {"a=%", "a", "%"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.form) + " " + testing::PrintToString(c.name));
    EXPECT_EQ(cgiecho::field_value(c.form, c.name), c.want);
  }
}

}  // namespace
