#include <cgiecho/codec/form_fields.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/field_cases.h"

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
  for (const auto& c : cgiecho::test::kFieldCases) {
    SCOPED_TRACE(testing::PrintToString(c.form) + " " + testing::PrintToString(c.name));
    EXPECT_EQ(cgiecho::field_value(c.form, c.name), c.want);
  }
}

}  // namespace
