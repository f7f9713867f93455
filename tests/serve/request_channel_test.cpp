#include "serve/request_channel.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cgiecho::RequestChannel;

// A parameter is looked up by the name rule of every environment (up to
// the first NUL; a name with "=" names nothing), byte for byte as on POSIX
// or in any case as on Windows.
TEST(RequestChannel, ParameterNames) {
  using namespace std::string_literals;
  char query[] = "QUERY_STRING=a=1";
  char empty[] = "HTTP_X=";
  char mixed[] = "Mixed_Case=m";
  char longer[] = "QUERY_STRING_LONG=long";
  char* envp[] = {query, empty, mixed, longer, nullptr};
  FCGX_Request request{};
  request.envp = envp;
  RequestChannel exact(request, RequestChannel::Names::exact);
  RequestChannel any_case(request, RequestChannel::Names::any_case);
  const struct {
    std::string name, exact, any_case;
  } cases[] = {
      {"QUERY_STRING", "a=1", "a=1"},
      {"query_string", "", "a=1"},
      {"QUERY_STRING\0junk"s, "a=1", "a=1"},
      {"QUERY_STRING=a", "", ""},  // "QUERY_STRING=a=1" begins so: the value would be "1"
      {"query_string=a", "", ""},
      {"QUERY", "", ""},
      {"query_string_long", "", "long"},
      {"MIXED_CASE", "", "m"},
      {"Mixed_Case", "m", "m"},
      {"HTTP_X", "", ""},
      {"", "", ""},
      {"\0QUERY_STRING"s, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.name));
    EXPECT_EQ(exact.env(c.name), c.exact);
    EXPECT_EQ(any_case.env(c.name), c.any_case);
  }
}

// A parameter sent twice: every reader sees one value, the one sent last.
// On Windows names that differ in case only are one name.
TEST(RequestChannel, ParameterSentTwice) {
  char first[] = "HTTP_X_A=1";
  char other[] = "QUERY_STRING=q";
  char second[] = "HTTP_X_A=2";
  char lower[] = "http_x_a=3";
  char empty_last[] = "HTTP_Y=y";
  char emptied[] = "HTTP_Y=";
  char* envp[] = {first, other, second, lower, empty_last, emptied, nullptr};
  FCGX_Request request{};
  request.envp = envp;
  RequestChannel exact(request, RequestChannel::Names::exact);
  RequestChannel any_case(request, RequestChannel::Names::any_case);
  using Variables = cgiecho::platform::Variables;
  const struct {
    RequestChannel& channel;
    std::string a, lower_a;
    Variables all;
  } cases[] = {
      {exact, "2", "3", Variables{{"HTTP_X_A", "2"}, {"QUERY_STRING", "q"}, {"http_x_a", "3"}, {"HTTP_Y", ""}}},
      {any_case, "3", "3", Variables{{"HTTP_X_A", "3"}, {"QUERY_STRING", "q"}, {"HTTP_Y", ""}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.channel.env("HTTP_X_A"), c.a);
    EXPECT_EQ(c.channel.env("http_x_a"), c.lower_a);
    EXPECT_EQ(c.channel.env("HTTP_Y"), "");
    EXPECT_EQ(c.channel.environment(), c.all);
  }
}

}  // namespace
