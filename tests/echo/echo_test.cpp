#include "echo/echo.h"

#include <gtest/gtest.h>

#include <string>

#include <cgiecho/request/acquire.h>

#include "support/platform_fake.h"
#include "support/expected_page.h"

namespace {

using namespace std::string_literals;
using cgiecho::fake::process;

TEST(EchoRequest, EscapesLessThanUnlessTheDataOptsOut) {
  const struct {
    std::string data, shown;
  } cases[] = {
      {"", ""},
      {"name=Ann&note=a<b>", "name=Ann&note=a&lt;b>"},
      {"nosanitize=1&note=a<b>", "nosanitize=1&note=a<b>"},
      {"nosanitize=1", "nosanitize=1"},
      {"nosanitize=10&x=<i>", "nosanitize=10&x=<i>"},  // only the first 12 bytes count
      {"nosanitize=", "nosanitize="},
      {"nosanitize=<", "nosanitize=&lt;"},
      {"NoSanitize=1&x=<i>", "NoSanitize=1&x=&lt;i>"},
      {" nosanitize=1&x=<i>", " nosanitize=1&x=&lt;i>"},
      {"x=<i>&nosanitize=1", "x=&lt;i>&nosanitize=1"},
      {"a<\0<b"s, "a&lt;\0&lt;b"s},
      {"%3C+&lt;", "%3C+&lt;"},  // no decoding, entities kept
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    cgiecho::fake::reset();
    process().environment["REQUEST_METHOD"] = "GET";
    process().environment["QUERY_STRING"] = c.data;
    cgiecho::echo_request();
    ASSERT_EQ(process().writes.size(), 1u) << "the response goes out in one write";
    EXPECT_EQ(process().writes[0], cgiecho::test::expected_page(c.shown));
    EXPECT_EQ(cgiecho::cgi_request_data().view(), process().writes[0]);
  }
}

TEST(EchoRequest, CommandLineTailWithoutMethod) {
  cgiecho::fake::reset();
  process().command_tail = "a<b";
  cgiecho::echo_request();
  EXPECT_EQ(process().written(), cgiecho::test::expected_page("a&lt;b"));
}

}  // namespace
