#include <cgiecho/web/request.h>

#include <gtest/gtest.h>

#include <cstdint>
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
      {"multipart without a boundary, and no body: no form", {{"CONTENT_TYPE", "multipart/form-data"}}, {},
       errc::ok, "", {}, false},
      {"multipart without a boundary, with a body", {{"CONTENT_TYPE", "multipart/form-data"}, {"CONTENT_LENGTH", "3"}},
       {"abc"}, errc::malformed_multipart, "", {}, true},
      {"the body's length is checked before the query", {{"CONTENT_LENGTH", "x"}, {"QUERY_STRING", "a&b&c&d&e"}}, {},
       errc::bad_content_length, "", {}, false},
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

// A refusal is one line on standard error that names the limit passed (or
// the error), and the body left is read off, up to limits.read_off, so
// that a server that waits for it passes the answer on. A failed read is
// the server's side, never a short body.
TEST_F(FromCurrent, RefusalIsLoggedAndItsBodyReadOffUpToALimit) {
  const std::string file(200'000, 'f');
  const std::string multipart = "--b\r\nContent-Disposition: form-data; name=f; filename=x\r\n\r\n" + file +
                                "\r\n--b--\r\n";
  const std::string small_form =
      "--b\r\nContent-Disposition: form-data; name=f; filename=x\r\n\r\n" + file.substr(0, 50) + "\r\n--b--\r\n";
  const std::uint64_t streamed = 2 * 65536;  // read before the file passes max_file, in pieces of 64 KiB
  const std::string prefix = "cgiecho: refused a request to /cgi-bin/x: ";
  const struct {
    std::string what;
    std::map<std::string, std::string> env;
    std::string body;
    bool fails;
    std::uint64_t read_off;
    errc want;
    std::uint64_t unread;
    std::string log;  // after the prefix
  } cases[] = {
      {"over max_body: read off", {{"CONTENT_LENGTH", "101"}}, std::string(101, 'b'), false, 200,
       errc::body_too_large, 0, "CGIECHO_MAX_BODY (100) passed (413 body_too_large)"},
      {"over max_body: read off up to read_off", {{"CONTENT_LENGTH", "101"}}, std::string(101, 'b'), false, 40,
       errc::body_too_large, 61, "CGIECHO_MAX_BODY (100) passed (413 body_too_large)"},
      {"read_off 0 reads nothing", {{"CONTENT_LENGTH", "101"}}, std::string(101, 'b'), false, 0,
       errc::body_too_large, 101, "CGIECHO_MAX_BODY (100) passed (413 body_too_large)"},
      {"a form over max_form", {{"CONTENT_LENGTH", "51"}, {"CONTENT_TYPE", kForm}}, std::string(51, 'b'), false, 200,
       errc::body_too_large, 0, "CGIECHO_MAX_FORM (50) passed (413 body_too_large)"},
      {"bytes past CONTENT_LENGTH are not read off", {{"CONTENT_LENGTH", "101"}}, std::string(150, 'b'), false, 200,
       errc::body_too_large, 49, "CGIECHO_MAX_BODY (100) passed (413 body_too_large)"},
      {"a file over max_file midway",
       {{"CONTENT_LENGTH", std::to_string(multipart.size())}, {"CONTENT_TYPE", "multipart/form-data; boundary=b"}},
       multipart, false, 1000, errc::file_too_large, multipart.size() - streamed - 1000,
       "CGIECHO_MAX_FILE (100000) passed (413 file_too_large)"},
      {"the query over max_fields", {{"QUERY_STRING", "a&b&c&d&e"}}, "", false, 200, errc::too_many_query_fields, 0,
       "CGIECHO_MAX_FIELDS (4) passed (414 too_many_fields)"},
      {"CONTENT_LENGTH not a number: nothing read", {{"CONTENT_LENGTH", "1O"}}, "abc", false, 200,
       errc::bad_content_length, 3, "CONTENT_LENGTH is not a plain decimal number (400 bad_content_length)"},
      {"a short body", {{"CONTENT_LENGTH", "10"}}, "abc", false, 200, errc::body_truncated, 0,
       "The body ended before CONTENT_LENGTH bytes arrived (400 body_truncated)"},
      {"a failed read", {{"CONTENT_LENGTH", "10"}}, "abc", true, 200, errc::read_failed, 0,
       "The request body could not be read (500 read_failed)"},
      {"a failed read, a form", {{"CONTENT_LENGTH", "10"}, {"CONTENT_TYPE", kForm}}, "a=1", true, 200,
       errc::read_failed, 0, "The request body could not be read (500 read_failed)"},
      {"a failed read, a streamed form",
       {{"CONTENT_LENGTH", std::to_string(small_form.size() + 1)}, {"CONTENT_TYPE", "multipart/form-data; boundary=b"}},
       small_form, true, 200, errc::read_failed, 0, "The request body could not be read (500 read_failed)"},
      // The program refuses before reading (refuse_current), for a setting
      // of its own: the same line, the same read-off.
      {"the program refuses: read off", {{"CONTENT_LENGTH", "60"}}, std::string(60, 'b'), false, 200,
       errc::invalid_limit, 0, "CGIECHO_MAX_FILE is not a plain decimal number (500 invalid_limit)"},
      {"the program refuses: read off up to read_off", {{"CONTENT_LENGTH", "60"}}, std::string(60, 'b'), false, 40,
       errc::invalid_limit, 20, "CGIECHO_MAX_FILE is not a plain decimal number (500 invalid_limit)"},
      // IIS gives a CGI program one pipe for its output and its errors: a
      // line there would come before the answer's head.
      {"standard error is the answer: no line, still read off", {{"CONTENT_LENGTH", "101"}}, std::string(101, 'b'),
       false, 200, errc::body_too_large, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bool by_program = c.what.rfind("the program refuses", 0) == 0;
    cgiecho::fake::reset();
    process().environment = c.env;
    process().environment["SCRIPT_NAME"] = "/cgi-bin/x";
    if (!c.body.empty()) process().stdin_pieces = {c.body};
    process().stdin_fails = c.fails;
    process().stderr_is_answer = c.log.empty();
    Limits limits = small_limits();
    limits.read_off = c.read_off;
    if (c.env.count("CONTENT_TYPE") != 0 && c.env.at("CONTENT_TYPE") != kForm) limits.max_body = Limits{}.max_body;
    limits.max_file = 100'000;
    limits.memory = 16;  // a multipart body streams
    Request r;
    if (by_program) {
      Request::refuse_current(c.want, limits, "CGIECHO_MAX_FILE");
    } else {
      EXPECT_EQ(Request::from_current(limits, r), c.want);
    }
    std::uint64_t unread = 0;
    for (const auto& piece : process().stdin_pieces) unread += piece.size();
    EXPECT_EQ(unread - process().stdin_taken, c.unread);
    EXPECT_EQ(process().errors, c.log.empty() ? "" : prefix + c.log + "\n");
  }
}

// The log line shows the script's name with control bytes escaped, so that
// no name breaks the line.
TEST_F(FromCurrent, RefusalLineKeepsToOneLine) {
  const struct {
    const char* what;
    std::map<std::string, std::string> env;
    std::string want;
  } cases[] = {
      {"a line feed in the name", {{"SCRIPT_NAME", "/a\nb\\\x7F"}}, "/a\\x0ab\\x5c\\x7f"},
      {"no SCRIPT_NAME", {}, "(no SCRIPT_NAME)"},
      {"an empty SCRIPT_NAME", {{"SCRIPT_NAME", ""}}, "(no SCRIPT_NAME)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    process().environment = c.env;
    process().environment["HTTP_COOKIE"] = "a=1; b=2";
    Limits limits;
    limits.max_cookies = 1;
    Request r;
    EXPECT_EQ(Request::from_current(limits, r), errc::too_many_cookies);
    EXPECT_EQ(process().errors,
              "cgiecho: refused a request to " + c.want + ": CGIECHO_MAX_COOKIES (1) passed (431 too_many_cookies)\n");
  }
  cgiecho::fake::reset();
  Request r;
  EXPECT_EQ(Request::from_current(Limits{}, r), errc::ok);
  EXPECT_EQ(process().errors, "");  // a request that is taken logs nothing
}

// A body that is no form is held in memory up to limits.memory and past
// it in a temp file; either way body_stream reads it, again after rewind.
TEST_F(FromCurrent, BodyThatIsNoFormStreamsFromMemoryOrATempFile) {
  std::string body(1000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  const struct {
    std::string what;
    std::string type;
    std::uint64_t memory;
    std::uint64_t write_budget;
    errc want;
    bool in_memory;
  } cases[] = {
      {"at memory: in memory", "application/octet-stream", 1000, UINT64_MAX, errc::ok, true},
      {"one byte over: a temp file", "application/octet-stream", 999, UINT64_MAX, errc::ok, false},
      {"a url-encoded form's body is in memory", kForm, 10, UINT64_MAX, errc::ok, true},
      {"the temp file cannot be written", "", 999, 500, errc::temp_file_failed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    cgiecho::fake::reset_temp_files();
    cgiecho::fake::temp_files().write_budget = c.write_budget;
    process().environment = {{"CONTENT_LENGTH", "1000"}, {"CONTENT_TYPE", c.type}};
    process().stdin_pieces = {body.substr(0, 300), body.substr(300)};
    Limits limits;
    limits.memory = c.memory;
    Request r;
    ASSERT_EQ(Request::from_current(limits, r), c.want);
    if (c.want != errc::ok) {
      EXPECT_TRUE(cgiecho::fake::temp_files().open.empty());  // nothing left behind
      continue;
    }
    EXPECT_EQ(r.body(), c.in_memory ? body : "");
    EXPECT_EQ(cgiecho::fake::temp_files().created, c.in_memory ? 0u : 1u);
    cgiecho::web::BodyStream stream = r.body_stream();
    EXPECT_EQ(stream.size(), body.size());
    for (int pass = 0; pass < 2; ++pass) {
      std::string got;
      char buf[77];
      std::size_t n = 0;
      while (stream.read(buf, sizeof buf, n) == errc::ok && n > 0) got.append(buf, n);
      EXPECT_EQ(got, body);
      EXPECT_EQ(stream.position(), body.size());
      stream.rewind();
    }
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
