#include "web/request.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/platform_fake.h"
#include "support/web_fields.h"

namespace {

using cgiecho::fake::process;
using cgiecho::web::errc;
using cgiecho::web::Field;
using cgiecho::web::Limits;
using cgiecho::web::Request;
using namespace std::string_literals;
using cgiecho::test::decoded;
using cgiecho::test::Pairs;

constexpr char kForm[] = "application/x-www-form-urlencoded";

Limits small_limits() {
  Limits l;
  l.max_body = 100;
  l.max_form = 50;
  l.max_fields = 4;
  l.max_cookies = 3;
  return l;
}

class FromCurrent : public testing::Test {
 protected:
  void SetUp() override { cgiecho::fake::reset(); }
};

// What a web server hands over, against what the request says: the body's
// length, limits decided before the body is read, and the body's parser
// chosen by its media type.
TEST_F(FromCurrent, ContentLengthLimitsAndBody) {
  const std::string to_max_body(100, 'b');
  const std::string to_max_form = "a=" + std::string(48, 'v');
  const struct {
    std::string what;
    std::map<std::string, std::string> env;
    std::vector<std::string> stdin_pieces;
    errc want;
    std::string body;  // as read, when ok
    Pairs form;
    bool reads;        // whether standard input is read at all (a refused body is read off)
  } cases[] = {
      {"no CONTENT_LENGTH", {{"REQUEST_METHOD", "POST"}}, {"a=1"}, errc::ok, "", {}, false},
      {"empty CONTENT_LENGTH", {{"CONTENT_LENGTH", ""}, {"CONTENT_TYPE", kForm}}, {"a=1"}, errc::ok, "", {}, false},
      {"zero", {{"CONTENT_LENGTH", "0"}, {"CONTENT_TYPE", kForm}}, {"a=1"}, errc::ok, "", {}, false},
      {"leading zeros", {{"CONTENT_LENGTH", "00012"}}, {"0123456789ab"}, errc::ok, "0123456789ab", {}, true},
      {"in pieces", {{"CONTENT_LENGTH", "7"}}, {"a", "bc", "defg"}, errc::ok, "abcdefg", {}, true},
      {"more sent than said", {{"CONTENT_LENGTH", "3"}}, {"abcdef"}, errc::ok, "abc", {}, true},
      {"NUL and high bytes", {{"CONTENT_LENGTH", "4"}}, {"\0\xFF\r\n"s}, errc::ok, "\0\xFF\r\n"s, {}, true},
      {"+1", {{"CONTENT_LENGTH", "+1"}}, {"a"}, errc::bad_content_length, "", {}, false},
      {"leading space", {{"CONTENT_LENGTH", " 1"}}, {"a"}, errc::bad_content_length, "", {}, false},
      {"trailing space", {{"CONTENT_LENGTH", "1 "}}, {"a"}, errc::bad_content_length, "", {}, false},
      {"1.5", {{"CONTENT_LENGTH", "1.5"}}, {"a"}, errc::bad_content_length, "", {}, false},
      {"2^64", {{"CONTENT_LENGTH", "18446744073709551616"}}, {"a"}, errc::body_too_large, "", {}, true},
      {"2^64 - 1", {{"CONTENT_LENGTH", "18446744073709551615"}}, {"a"}, errc::body_too_large, "", {}, true},
      {"at max_body", {{"CONTENT_LENGTH", "100"}}, {to_max_body}, errc::ok, to_max_body, {}, true},
      {"over max_body", {{"CONTENT_LENGTH", "101"}}, {to_max_body + "b"}, errc::body_too_large, "", {}, true},
      {"truncated", {{"CONTENT_LENGTH", "10"}}, {"abc", "def"}, errc::body_truncated, "", {}, true},
      {"nothing sent", {{"CONTENT_LENGTH", "10"}}, {}, errc::body_truncated, "", {}, true},
      {"a form", {{"CONTENT_LENGTH", "9"}, {"CONTENT_TYPE", kForm}}, {"a=1&", "b=%3C"}, errc::ok, "a=1&b=%3C",
       {{"a", "1"}, {"b", "<"}}, true},
      {"a form's type in any case, parameters ignored",
       {{"CONTENT_LENGTH", "3"}, {"CONTENT_TYPE", "Application/X-WWW-Form-URLencoded ; charset=UTF-8"}}, {"a=1"},
       errc::ok, "a=1", {{"a", "1"}}, true},
      {"not a form", {{"CONTENT_LENGTH", "3"}, {"CONTENT_TYPE", "text/plain"}}, {"a=1"}, errc::ok, "a=1", {}, true},
      {"a form type with a suffix", {{"CONTENT_LENGTH", "3"}, {"CONTENT_TYPE", "application/x-www-form-urlencodedx"}},
       {"a=1"}, errc::ok, "a=1", {}, true},
      {"form at max_form", {{"CONTENT_LENGTH", "50"}, {"CONTENT_TYPE", kForm}}, {to_max_form}, errc::ok, to_max_form,
       {{"a", std::string(48, 'v')}}, true},
      {"form over max_form", {{"CONTENT_LENGTH", "51"}, {"CONTENT_TYPE", kForm}}, {to_max_form + "v"},
       errc::body_too_large, "", {}, true},
      {"other body over max_form", {{"CONTENT_LENGTH", "51"}}, {to_max_form + "v"}, errc::ok, to_max_form + "v", {},
       true},
      {"fields at max_fields", {{"CONTENT_LENGTH", "15"}, {"CONTENT_TYPE", kForm}}, {"a&b&c&d&&&&&&&&"}, errc::ok,
       "a&b&c&d&&&&&&&&", {{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}}, true},
      {"fields over max_fields", {{"CONTENT_LENGTH", "9"}, {"CONTENT_TYPE", kForm}}, {"a&b&c&d&e"},
       errc::too_many_fields, "", {}, true},
      {"query over max_fields", {{"QUERY_STRING", "a&b&c&d&e"}}, {}, errc::too_many_query_fields, "", {}, false},
      {"cookies over max_cookies", {{"HTTP_COOKIE", "a=1; b=2; c=3; d=4"}}, {}, errc::too_many_cookies, "", {},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    process().environment = c.env;
    process().stdin_pieces = c.stdin_pieces;
    Request r;
    EXPECT_EQ(Request::from_current(small_limits(), r), c.want);
    EXPECT_EQ(r.body(), c.want == errc::ok ? c.body : "");
    EXPECT_EQ(r.body_size(), c.want == errc::ok ? c.body.size() : 0u);
    EXPECT_EQ(decoded(r.form()), c.form);
    EXPECT_EQ(!process().read_requests.empty(), c.reads);
  }
}

TEST_F(FromCurrent, QueryCookiesAndVariables) {
  process().environment = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "name=Ann+Lee&x&name=%3Cb%3E;s"},
                           {"HTTP_COOKIE", "theme=\"dark\"; junk; id=7"}, {"CONTENT_TYPE", ""}};
  Request r;
  ASSERT_EQ(Request::from_current(Limits{}, r), errc::ok);
  EXPECT_EQ(r.method(), "GET");
  EXPECT_EQ(r.query(), "name=Ann+Lee&x&name=%3Cb%3E;s");
  EXPECT_EQ(decoded(r.args()), (Pairs{{"name", "Ann Lee"}, {"x", ""}, {"name", "<b>;s"}}));
  EXPECT_TRUE(r.form().empty());
  ASSERT_NE(r.arg("name"), nullptr);
  EXPECT_EQ(r.arg("name")->raw_value, "Ann+Lee");
  EXPECT_EQ(r.arg("nobody"), nullptr);
  EXPECT_EQ(r.field("name"), nullptr);  // query and body kept apart
  ASSERT_NE(r.cookie("theme"), nullptr);
  EXPECT_EQ(r.cookie("theme")->value, "dark");
  EXPECT_EQ(r.cookies().size(), 2u);
  EXPECT_EQ(r.cookie("junk"), nullptr);
  EXPECT_TRUE(r.has("CONTENT_TYPE"));  // set but empty, told apart from unset
  EXPECT_EQ(r.content_type(), "");
  EXPECT_FALSE(r.has("CONTENT_LENGTH"));
  EXPECT_EQ(r.get("CONTENT_LENGTH"), "");
  EXPECT_EQ(r.variables().size(), 4u);
  EXPECT_TRUE(r.files().empty());
}

TEST(FromParts, ContentLengthMustAgreeWithTheBody) {
  const struct {
    std::string what;
    cgiecho::web::Variables vars;
    std::string body;
    errc want;
    std::string read;
  } cases[] = {
      {"no CONTENT_LENGTH: the whole body", {}, "abc", errc::ok, "abc"},
      {"agreeing", {{"CONTENT_LENGTH", "3"}}, "abc", errc::ok, "abc"},
      {"fewer bytes", {{"CONTENT_LENGTH", "4"}}, "abc", errc::body_truncated, ""},
      {"more bytes: the first CONTENT_LENGTH", {{"CONTENT_LENGTH", "2"}}, "abc", errc::ok, "ab"},
      {"empty CONTENT_LENGTH: no body", {{"CONTENT_LENGTH", ""}}, "abc", errc::ok, ""},
      {"bad CONTENT_LENGTH", {{"CONTENT_LENGTH", "x"}}, "abc", errc::bad_content_length, ""},
      {"at max_body", {}, std::string(100, 'b'), errc::ok, std::string(100, 'b')},
      {"over max_body", {}, std::string(101, 'b'), errc::body_too_large, ""},
      {"said over max_body", {{"CONTENT_LENGTH", "101"}}, "abc", errc::body_too_large, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Request r;
    EXPECT_EQ(Request::from_parts(c.vars, c.body, small_limits(), r), c.want);
    EXPECT_EQ(r.body(), c.read);
  }
}

TEST(FromParts, ViewsLiveAsLongAsTheRequestMovesOrNot) {
  Request moved;
  {
    Request r;
    // Short strings: their bytes live inside the string objects themselves.
    ASSERT_EQ(Request::from_parts({{"QUERY_STRING", "q=1"}, {"HTTP_COOKIE", "c=2"}, {"CONTENT_TYPE", kForm}},
                                  "f=%33", Limits{}, r),
              errc::ok);
    moved = std::move(r);
  }
  std::string value;
  ASSERT_NE(moved.arg("q"), nullptr);
  EXPECT_EQ(moved.arg("q")->value(value), errc::ok);
  EXPECT_EQ(value, "1");
  ASSERT_NE(moved.field("f"), nullptr);
  EXPECT_EQ(moved.field("f")->value(value), errc::ok);
  EXPECT_EQ(value, "3");
  ASSERT_NE(moved.cookie("c"), nullptr);
  EXPECT_EQ(moved.cookie("c")->value, "2");

  // A failed request leaves the target empty, whatever it held.
  EXPECT_EQ(Request::from_parts({{"QUERY_STRING", "a&b&c&d&e"}}, "", small_limits(), moved),
            errc::too_many_query_fields);
  EXPECT_TRUE(moved.args().empty());
  EXPECT_TRUE(moved.variables().empty());
  EXPECT_EQ(moved.arg("q"), nullptr);
  EXPECT_EQ(moved.method(), "");
}

}  // namespace
