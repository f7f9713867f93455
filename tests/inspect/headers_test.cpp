#include "inspect/headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cgiecho::inspect::header_name;
using cgiecho::inspect::request_headers;

TEST(HeaderName, WordsCapitalisedAndJoinedByHyphens) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"HOST", "Host"}, {"USER_AGENT", "User-Agent"}, {"X_FORWARDED_FOR", "X-Forwarded-For"},
      {"accept_language", "Accept-Language"}, {"DNT", "Dnt"}, {"SEC_CH_UA_MOBILE", "Sec-Ch-Ua-Mobile"},
      {"X_1A_B2", "X-1a-B2"}, {"A__B", "A--B"}, {"_LEADING", "-Leading"}, {"TRAILING_", "Trailing-"},
      {"", ""}, {"\xC3\x89T\xC3\x89", "\xC3\x89t\xC3\x89"}, {"X-DASH", "X-dash"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(header_name(c.in), c.want);
  }
}

TEST(RequestHeaders, HttpVariablesAndContentHeadersSortedByName) {
  using Vars = cgiecho::platform::Variables;
  using List = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* name;
    Vars in;
    List want;
  } cases[] = {
      {"none", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, {}},
      {"sorted by output name",
       {{"HTTP_USER_AGENT", "curl"}, {"HTTP_ACCEPT", "*/*"}, {"HTTP_HOST", "h"}, {"HTTP_ACCEPT_ENCODING", "gzip"}},
       {{"Accept", "*/*"}, {"Accept-Encoding", "gzip"}, {"Host", "h"}, {"User-Agent", "curl"}}},
      {"content headers from CGI's own variables",
       {{"CONTENT_TYPE", "text/plain"}, {"CONTENT_LENGTH", "5"}, {"HTTP_HOST", "h"}},
       {{"Content-Length", "5"}, {"Content-Type", "text/plain"}, {"Host", "h"}}},
      {"empty content headers left out, empty HTTP_ ones kept",
       {{"CONTENT_TYPE", ""}, {"CONTENT_LENGTH", ""}, {"HTTP_X_EMPTY", ""}}, {{"X-Empty", ""}}},
      {"HTTP_CONTENT_* left out", {{"HTTP_CONTENT_TYPE", "a/b"}, {"HTTP_CONTENT_LENGTH", "3"}}, {}},
      {"other prefixes are not headers",
       {{"http_host", "h"}, {"HTTPS", "on"}, {"XHTTP_A", "1"}, {"CONTENT_TYPEX", "x"}}, {}},
      {"byte order: '-' before letters, upper before lower, high bytes last",
       {{"HTTP_X_\xC3\xA9", "3"}, {"HTTP_XA", "2"}, {"HTTP_X_B", "1"}, {"HTTP_X", "0"}},
       {{"X", "0"}, {"X-B", "1"}, {"X-\xC3\xA9", "3"}, {"Xa", "2"}}},
      {"one name twice keeps its order", {{"HTTP_X_A", "first"}, {"HTTP_B", "b"}, {"HTTP_X_A", "second"}},
       {{"B", "b"}, {"X-A", "first"}, {"X-A", "second"}}},
      {"NUL and high bytes in values", {{"HTTP_X", std::string("a\0\xFF", 3)}}, {{"X", std::string("a\0\xFF", 3)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    List got;
    for (const auto& [name, value] : request_headers(c.in)) got.emplace_back(name, std::string(value));
    EXPECT_EQ(got, c.want);
  }
}

}  // namespace
