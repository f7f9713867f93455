#include <cgiecho/web/request.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <cgiecho/platform/platform.h>

#include "support/platform_fake.h"
#include "support/web_fields.h"

namespace {

using cgiecho::fake::process;
using cgiecho::web::errc;
using cgiecho::web::Field;
using cgiecho::web::Limits;
using cgiecho::web::Request;
using namespace std::string_literals;
using cgiecho::test::code_of;
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
    auto got = Request::current(small_limits());
    EXPECT_EQ(code_of(got), c.want);
    const Request r = std::move(got).value_or(Request());
    EXPECT_EQ(r.body(), c.want == errc::ok ? c.body : "");
    EXPECT_EQ(r.body_size(), c.want == errc::ok ? c.body.size() : 0u);
    EXPECT_EQ(decoded(r.raw_form()), c.form);
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
  const std::string prefix = "prog: refused a request to /cgi-bin/x: ";  // the program's own name first
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
    if (by_program) {
      Request::refuse_current(cgiecho::web::error(c.want, "CGIECHO_MAX_FILE"), limits);
    } else {
      EXPECT_EQ(code_of(Request::current(limits)), c.want);
    }
    std::uint64_t unread = 0;
    for (const auto& piece : process().stdin_pieces) unread += piece.size();
    EXPECT_EQ(unread - process().stdin_taken, c.unread);
    EXPECT_EQ(process().errors, c.log.empty() ? "" : prefix + c.log + "\n");
  }
}

// The log line shows the script's name with every byte outside printable
// ASCII escaped, so that no name breaks the line or drives a terminal.
TEST_F(FromCurrent, RefusalLineKeepsToOneLine) {
  const struct {
    const char* what;
    std::map<std::string, std::string> env;
    std::string want;
    std::string program = "prog", shown = "prog";  // the program's name, and as the line shows it
  } cases[] = {
      {"a line feed in the name", {{"SCRIPT_NAME", "/a\nb\\\x7F"}}, "/a\\x0ab\\x5c\\x7f"},
      {"a C1 CSI and U+2028 in the name", {{"SCRIPT_NAME", "/\xC2\x9B" "2J\xE2\x80\xA8"}}, "/\\xc2\\x9b2J\\xe2\\x80\\xa8"},
      {"no SCRIPT_NAME", {}, "(no SCRIPT_NAME)"},
      {"an empty SCRIPT_NAME", {{"SCRIPT_NAME", ""}}, "(no SCRIPT_NAME)"},
      {"a program's name is escaped too", {{"SCRIPT_NAME", "/x"}}, "/x", "up\rload\xE9", "up\\x0dload\\xe9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    process().program_name = c.program;
    process().environment = c.env;
    process().environment["HTTP_COOKIE"] = "a=1; b=2";
    Limits limits;
    limits.max_cookies = 1;
    EXPECT_EQ(code_of(Request::current(limits)), errc::too_many_cookies);
    EXPECT_EQ(process().errors,
              c.shown + ": refused a request to " + c.want +
                  ": CGIECHO_MAX_COOKIES (1) passed (431 too_many_cookies)\n");
  }
  cgiecho::fake::reset();
  EXPECT_EQ(code_of(Request::current(Limits{})), errc::ok);
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
    auto got = Request::current(limits);
    ASSERT_EQ(code_of(got), c.want);
    if (c.want != errc::ok) {
      EXPECT_TRUE(cgiecho::fake::temp_files().open.empty());  // nothing left behind
      continue;
    }
    const Request& r = *got;
    EXPECT_EQ(r.body(), c.in_memory ? body : "");
    EXPECT_EQ(cgiecho::fake::temp_files().created, c.in_memory ? 0u : 1u);
    cgiecho::web::BodyStream stream = r.body_stream();
    EXPECT_EQ(stream.size(), body.size());
    for (int pass = 0; pass < 2; ++pass) {
      std::string bytes;
      char buf[77];
      for (auto n = stream.read(buf, sizeof buf); n && *n > 0; n = stream.read(buf, sizeof buf)) bytes.append(buf, *n);
      EXPECT_EQ(bytes, body);
      EXPECT_EQ(stream.position(), body.size());
      stream.rewind();
    }
  }
}

TEST_F(FromCurrent, QueryCookiesAndVariables) {
  process().environment = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "name=Ann+Lee&x&name=%3Cb%3E;s"},
                           {"HTTP_COOKIE", "theme=\"dark\"; junk; id=7"}, {"CONTENT_TYPE", ""}};
  auto got = Request::current(Limits{});
  ASSERT_EQ(code_of(got), errc::ok);
  const Request& r = *got;
  EXPECT_EQ(r.method(), "GET");
  EXPECT_EQ(r.query(), "name=Ann+Lee&x&name=%3Cb%3E;s");
  EXPECT_EQ(decoded(r.raw_args()), (Pairs{{"name", "Ann Lee"}, {"x", ""}, {"name", "<b>;s"}}));
  EXPECT_TRUE(r.raw_form().empty());
  EXPECT_EQ(r.raw_args()[0].raw_value, "Ann+Lee");
  EXPECT_EQ(r.field("name"), std::nullopt);  // query and body kept apart
  EXPECT_EQ(r.raw_cookies().size(), 2u);
  EXPECT_EQ(r.cookie("junk"), std::nullopt);
  EXPECT_TRUE(r.has("CONTENT_TYPE"));  // set but empty, told apart from unset
  EXPECT_EQ(r.content_type(), "");
  EXPECT_FALSE(r.has("CONTENT_LENGTH"));
  EXPECT_EQ(r.get("CONTENT_LENGTH"), "");
  EXPECT_EQ(r.variables().size(), 4u);
  EXPECT_TRUE(r.uploads().empty());
}

// The limits the server sets, from the request's variables, else under
// FastCGI from the responder's own environment: a request over one is
// refused with its status, a setting that is no number refuses every
// request. current(limits) reads none of them; current_with_defaults(limits)
// reads them over the program's own.
TEST_F(FromCurrent, ServerLimitsFromTheVariables) {
  // A FastCGI request's parameters; the process's environment is the fake's.
  struct Channel final : cgiecho::platform::Channel {
    cgiecho::web::Variables params;
    std::string env(std::string_view name) override { return std::string(cgiecho::web::variable_value(params, name)); }
    cgiecho::web::Variables environment() override { return params; }
    cgiecho::platform::Read read(char*, std::size_t) override { return {}; }
    bool write(std::string_view) override { return true; }
  };
  const std::map<std::string, std::string> over_two = {{"QUERY_STRING", "a&b&c"}};
  enum Call { server, own, defaults };  // current(), current(two), current_with_defaults(two)
  Limits two;
  two.max_fields = 2;
  const struct {
    std::string what;
    std::map<std::string, std::string> request;  // the CGI environment, or the FastCGI parameters
    std::map<std::string, std::string> process;  // the responder's own, under FastCGI
    bool fastcgi;
    Call call;
    errc want;
    std::string detail;
    std::string log;  // how the refusal line names it
  } cases[] = {
      {"no setting", over_two, {}, false, server, errc::ok, "", ""},
      {"a limit passed", {{"QUERY_STRING", "a&b&c"}, {"CGIECHO_MAX_FIELDS", "2"}}, {}, false, server,
       errc::too_many_query_fields, "", "CGIECHO_MAX_FIELDS (2) passed (414 too_many_fields)"},
      {"at the limit", {{"QUERY_STRING", "a&b&c"}, {"CGIECHO_MAX_FIELDS", "3"}}, {}, false, server, errc::ok, "", ""},
      {"a body over CGIECHO_MAX_BODY", {{"CONTENT_LENGTH", "5"}, {"CGIECHO_MAX_BODY", "4"}}, {}, false, server,
       errc::body_too_large, "", "CGIECHO_MAX_BODY (4) passed (413 body_too_large)"},
      {"not a number", {{"CGIECHO_MAX_FILE", "abc"}}, {}, false, server, errc::invalid_limit, "CGIECHO_MAX_FILE",
       "CGIECHO_MAX_FILE is not a plain decimal number (500 invalid_limit)"},
      {"an empty setting", {{"CGIECHO_MEMORY", ""}}, {}, false, server, errc::invalid_limit, "CGIECHO_MEMORY",
       "CGIECHO_MEMORY is not a plain decimal number (500 invalid_limit)"},
      {"the program's own limits ignore the server's", {{"QUERY_STRING", "a"}, {"CGIECHO_MAX_FIELDS", "0"}}, {},
       false, own, errc::ok, "", ""},
      {"the program's own limits ignore a bad one", {{"CGIECHO_MAX_FILE", "abc"}}, {}, false, own, errc::ok, "", ""},
      {"the program's default when the server sets none", over_two, {}, false, defaults,
       errc::too_many_query_fields, "", "CGIECHO_MAX_FIELDS (2) passed (414 too_many_fields)"},
      {"the server's setting over the program's default", {{"QUERY_STRING", "a&b&c"}, {"CGIECHO_MAX_FIELDS", "3"}},
       {}, false, defaults, errc::ok, "", ""},
      {"the server's setting under the program's default", {{"QUERY_STRING", "a"}, {"CGIECHO_MAX_FIELDS", "0"}}, {},
       false, defaults, errc::too_many_query_fields, "", "CGIECHO_MAX_FIELDS (0) passed (414 too_many_fields)"},
      {"a bad setting over the program's default", {{"CGIECHO_MAX_FILE", "abc"}}, {}, false, defaults,
       errc::invalid_limit, "CGIECHO_MAX_FILE", "CGIECHO_MAX_FILE is not a plain decimal number (500 invalid_limit)"},
      {"FastCGI: the responder's setting over the program's default", over_two, {{"CGIECHO_MAX_FIELDS", "3"}}, true,
       defaults, errc::ok, "", ""},
      {"FastCGI: the responder's environment", over_two, {{"CGIECHO_MAX_FIELDS", "2"}}, true, server,
       errc::too_many_query_fields, "", "CGIECHO_MAX_FIELDS (2) passed (414 too_many_fields)"},
      {"FastCGI: the request's parameter first", {{"QUERY_STRING", "a&b&c"}, {"CGIECHO_MAX_FIELDS", "3"}},
       {{"CGIECHO_MAX_FIELDS", "2"}}, true, server, errc::ok, "", ""},
      {"FastCGI: a bad setting of the responder's", over_two, {{"CGIECHO_MAX_FILE", "abc"}}, true, server,
       errc::invalid_limit, "CGIECHO_MAX_FILE", "CGIECHO_MAX_FILE is not a plain decimal number (500 invalid_limit)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    Channel channel;
    if (c.fastcgi) {
      channel.params.assign(c.request.begin(), c.request.end());
      process().environment = c.process;
      cgiecho::platform::set_channel(&channel);
    } else {
      process().environment = c.request;
      if (c.request.count("CONTENT_LENGTH") != 0) process().stdin_pieces = {"12345"};
    }
    const auto got = c.call == own        ? Request::current(two)
                     : c.call == defaults ? Request::current_with_defaults(two)
                                          : Request::current();
    cgiecho::platform::set_channel(nullptr);
    EXPECT_EQ(code_of(got), c.want);
    if (!got) {
      EXPECT_EQ(got.error().detail(), c.detail);
      EXPECT_EQ(got.error().status(), cgiecho::web::http_status(c.want));
    }
    if (c.log.empty()) {
      EXPECT_EQ(process().errors, "");
    } else {
      EXPECT_NE(process().errors.find(": " + c.log + "\n"), std::string::npos) << process().errors;
    }
  }
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
    auto got = Request::from_parts(c.vars, c.body, small_limits());
    EXPECT_EQ(code_of(got), c.want);
    EXPECT_EQ(std::move(got).value_or(Request()).body(), c.read);
  }
}

TEST(FromParts, ViewsLiveAsLongAsTheRequestMovesOrNot) {
  Request moved;
  {
    // Short strings: their bytes live inside the string objects themselves.
    auto r = Request::from_parts({{"QUERY_STRING", "q=1"}, {"HTTP_COOKIE", "c=2"}, {"CONTENT_TYPE", kForm}}, "f=%33");
    ASSERT_EQ(code_of(r), errc::ok);
    moved = std::move(*r);
  }
  EXPECT_EQ(moved.arg("q"), "1");
  EXPECT_EQ(moved.field("f"), "3");
  EXPECT_EQ(moved.cookie("c"), "2");
  EXPECT_EQ(moved.raw_args()[0].raw_value, "1");

  // What a request is moved out of reads as empty.
  const Request taken = std::move(moved);
  EXPECT_TRUE(moved.raw_args().empty());  // NOLINT: reading a moved-from request is allowed
  EXPECT_TRUE(moved.variables().empty());
  EXPECT_EQ(moved.arg("q"), std::nullopt);
  EXPECT_EQ(moved.method(), "");
  EXPECT_EQ(taken.arg("q"), "1");
}

// Every lookup by name: the first of a name, all of it in order, nothing
// for an absent one; values are bytes (NUL and bytes that are no UTF-8
// pass through unchanged). A lookup that finds nothing is {}.
TEST(Accessors, FirstAllAndAbsent) {
  const std::string multipart =
      "--b\r\nContent-Disposition: form-data; name=t\r\n\r\none\r\n"
      "--b\r\nContent-Disposition: form-data; name=up; filename=one.txt\r\n\r\n1\r\n"
      "--b\r\nContent-Disposition: form-data; name=t\r\n\r\nt\0o\xFF\r\n"s
      "--b\r\nContent-Disposition: form-data; name=up; filename=two.txt\r\n\r\n2\r\n"
      "--b--\r\n";
  const cgiecho::web::Variables head = {
      {"REQUEST_METHOD", "HEAD"}, {"QUERY_STRING", "a=1&z=%00y&a=2&u=%FF%C3%28&e="},
      {"HTTP_COOKIE", "c=1; d=\"q\"; c=2; x=%41\xFF"}, {"HTTP_USER_AGENT", "agent/1"},
      {"HTTP_X_CUSTOM_THING", "v"}, {"CONTENT_TYPE", kForm}};
  auto url = Request::from_parts(head, "f=1&g=%00&f=2&h=%C3%28&h=\xFF");
  auto multi = Request::from_parts({{"CONTENT_TYPE", "multipart/form-data; boundary=b"}}, multipart);
  ASSERT_EQ(code_of(url), errc::ok);
  ASSERT_EQ(code_of(multi), errc::ok);
  using Strings = std::vector<std::string>;
  const auto one = [](const std::optional<std::string>& v) { return v ? Strings{*v} : Strings{}; };
  const auto view = [](const std::optional<std::string_view>& v) { return v ? Strings{std::string(*v)} : Strings{}; };
  const auto names = [](const std::vector<const cgiecho::web::UploadedFile*>& files) {
    Strings out;
    for (const auto* f : files) out.emplace_back(f->filename());
    return out;
  };
  const Request& u = *url;
  const Request& m = *multi;
  const struct {
    const char* what;
    Strings got, want;
  } cases[] = {
      {"arg: the first", one(u.arg("a")), {"1"}},
      {"args: all in order", u.args("a"), {"1", "2"}},
      {"arg: %00 is a NUL", one(u.arg("z")), {"\0y"s}},
      {"arg: no UTF-8, unchanged", one(u.arg("u")), {"\xFF\xC3("}},
      {"arg: sent empty", one(u.arg("e")), {""}},
      {"arg: absent", one(u.arg("none")), {}},
      {"args: absent", u.args("none"), {}},
      {"field: the first", one(u.field("f")), {"1"}},
      {"fields: all in order", u.fields("f"), {"1", "2"}},
      {"field: %00 is a NUL", one(u.field("g")), {"\0"s}},
      {"fields: no UTF-8, unchanged", u.fields("h"), {"\xC3(", "\xFF"}},
      {"fields: absent", u.fields("none"), {}},
      {"multipart field: the first", one(m.field("t")), {"one"}},
      {"multipart fields: a raw NUL and no UTF-8", m.fields("t"), {"one", "t\0o\xFF"s}},
      {"a file part is no field", one(m.field("up")), {}},
      {"file: the first", Strings{std::string(m.file("up")->filename())}, {"one.txt"}},
      {"files: both in order", names(m.files("up")), {"one.txt", "two.txt"}},
      {"files: absent", names(m.files("none")), {}},
      {"a text part is no file", names(m.files("t")), {}},
      {"cookie: the first", one(u.cookie("c")), {"1"}},
      {"cookie: quotes off, escapes decoded, other bytes kept", one(u.cookie("x")), {"A\xFF"}},
      {"cookie: absent", one(u.cookie("none")), {}},
      {"header: any case", view(u.header("user-agent")), {"agent/1"}},
      {"header: Content-Type", view(u.header("Content-Type")), {kForm}},
      {"header: dashes become underscores", view(u.header("X-Custom-Thing")), {"v"}},
      {"header: a name that is no token", view(u.header("bad name")), {}},
      {"header: absent", view(u.header("Accept")), {}},
      {"header: absent Content-Length", view(u.header("Content-Length")), {}},
      {"is_head", {u.is_head() ? "1" : "0", m.is_head() ? "1" : "0"}, {"1", "0"}},
      {"checkbox", {u.checkbox("f") ? "1" : "0", u.checkbox("a") ? "1" : "0", m.checkbox("t") ? "1" : "0"},
       {"1", "0", "1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.got, c.want);
  }
  EXPECT_EQ(m.file("none"), nullptr);
  EXPECT_EQ(m.file("t"), nullptr);
}

// Typed fields at and past their ranges, read from what a form sends.
TEST(Accessors, TypedFields) {
  const auto sent = [](const std::optional<std::string>& value) {
    std::string body = "other=1";
    if (!value) return body;
    body += "&v=";
    for (const char c : *value) {  // every byte escaped, so "+" stays a plus
      static constexpr char kHex[] = "0123456789ABCDEF";
      const auto b = static_cast<unsigned char>(c);
      body += '%';
      body += kHex[b >> 4];
      body += kHex[b & 15];
    }
    return body;
  };
  const auto request = [&](const std::optional<std::string>& value) {
    return std::move(Request::from_parts({{"CONTENT_TYPE", kForm}}, sent(value))).value();
  };
  constexpr std::int64_t kMin = INT64_MIN, kMax = INT64_MAX;
  const struct {
    std::optional<std::string> value;
    std::int64_t min, max;
    errc want;
    std::int64_t got;
  } ints[] = {
      {"-5", -5, 10, errc::ok, -5},
      {"10", -5, 10, errc::ok, 10},
      {"-6", -5, 10, errc::field_out_of_range, 0},
      {"11", -5, 10, errc::field_out_of_range, 0},
      {"-9223372036854775808", kMin, kMax, errc::ok, kMin},
      {"9223372036854775807", kMin, kMax, errc::ok, kMax},
      {"9223372036854775808", kMin, kMax, errc::field_out_of_range, 0},
      {"-9223372036854775809", kMin, kMax, errc::field_out_of_range, 0},
      {"99999999999999999999999", kMin, kMax, errc::field_out_of_range, 0},
      {"-0", -5, 10, errc::ok, 0},
      {"+5", -5, 10, errc::ok, 5},
      {"007", -5, 10, errc::ok, 7},
      {" 5", -5, 10, errc::field_not_a_number, 0},
      {"5 ", -5, 10, errc::field_not_a_number, 0},
      {"0x10", kMin, kMax, errc::field_not_a_number, 0},
      {"1.0", kMin, kMax, errc::field_not_a_number, 0},
      {"-", kMin, kMax, errc::field_not_a_number, 0},
      {"+-5", kMin, kMax, errc::field_not_a_number, 0},
      {"5\0"s, kMin, kMax, errc::field_not_a_number, 0},
      {"", kMin, kMax, errc::field_missing, 0},
      {std::nullopt, kMin, kMax, errc::field_missing, 0},
  };
  for (const auto& c : ints) {
    SCOPED_TRACE(testing::PrintToString(c.value));
    const auto got = request(c.value).int_field("v", c.min, c.max);
    EXPECT_EQ(code_of(got), c.want);
    if (got) {
      EXPECT_EQ(*got, c.got);
    } else {
      EXPECT_EQ(got.error().detail(), "v");
    }
  }
  const struct {
    std::optional<std::string> value;
    errc want;
    double got;
  } numbers[] = {
      {"2.5", errc::ok, 2.5},
      {"-0.5", errc::ok, -0.5},
      {"1e3", errc::ok, 1000},
      {"+1E3", errc::ok, 1000},
      {".5", errc::ok, 0.5},
      {"5.", errc::ok, 5},
      {"1e400", errc::field_out_of_range, 0},
      {"-1e400", errc::field_out_of_range, 0},
      {"1e-400", errc::ok, 0},
      {"0." + std::string(400, '0') + "1", errc::ok, 0},
      {"1" + std::string(400, '0'), errc::field_out_of_range, 0},
      {"1e20", errc::field_out_of_range, 0},  // past max
      {"-1e20", errc::field_out_of_range, 0},
      {"nan", errc::field_not_a_number, 0},
      {"inf", errc::field_not_a_number, 0},
      {"1,5", errc::field_not_a_number, 0},
      {" 1", errc::field_not_a_number, 0},
      {"1 ", errc::field_not_a_number, 0},
      {"0x1p3", errc::field_not_a_number, 0},
      {".", errc::field_not_a_number, 0},
      {"1e", errc::field_not_a_number, 0},
      {"", errc::field_missing, 0},
      {std::nullopt, errc::field_missing, 0},
  };
  for (const auto& c : numbers) {
    SCOPED_TRACE(testing::PrintToString(c.value));
    const auto got = request(c.value).number_field("v", -1e19, 1e19);
    EXPECT_EQ(code_of(got), c.want);
    if (got) {
      EXPECT_EQ(*got, c.got);
    }
  }
  EXPECT_EQ(code_of(request("").required_field("v")), errc::field_missing);
  EXPECT_EQ(code_of(request(std::nullopt).required_field("v")), errc::field_missing);
  EXPECT_EQ(request(" ").required_field("v"), " ");

  // Errors gathered for a page: each names its field.
  const Request r = request("x");
  cgiecho::web::FormErrors errors;
  EXPECT_EQ(errors.take(r.int_field("v", 0, 150)), std::nullopt);
  EXPECT_EQ(errors.take(r.required_field("name")), std::nullopt);
  EXPECT_EQ(errors.take(r.int_field("other", 0, 150)), std::optional<std::int64_t>(1));
  errors.add(cgiecho::web::error(errc::field_out_of_range, "age"));
  errors.add("email", "needs an @");
  std::vector<std::string> messages;
  for (const auto& e : errors.all()) messages.push_back(e.message());
  EXPECT_EQ(messages, (std::vector<std::string>{"v is not a number", "name is required", "age is out of range",
                                                "email: needs an @"}));
  EXPECT_EQ(errors.all().back().code(), errc::field_invalid);
}

TEST(Accessors, SelfUrl) {
  const struct {
    cgiecho::web::Variables vars;
    std::string want;
  } cases[] = {
      {{{"SERVER_NAME", "h"}, {"SERVER_PORT", "80"}, {"SCRIPT_NAME", "/cgi/x"}}, "http://h/cgi/x"},
      {{{"SERVER_NAME", "h"}, {"SERVER_PORT", "8080"}, {"SCRIPT_NAME", "/x"}}, "http://h:8080/x"},
      {{{"SERVER_NAME", "h"}, {"SERVER_PORT", "443"}, {"SCRIPT_NAME", "/x"}}, "http://h:443/x"},
      {{{"HTTPS", "on"}, {"SERVER_NAME", "h"}, {"SERVER_PORT", "443"}, {"SCRIPT_NAME", "/x"}}, "https://h/x"},
      {{{"HTTPS", "1"}, {"SERVER_NAME", "h"}, {"SERVER_PORT", "8443"}, {"SCRIPT_NAME", "/x"}}, "https://h:8443/x"},
      {{{"HTTPS", "ON"}, {"SERVER_NAME", "h"}, {"SERVER_PORT", "80"}, {"SCRIPT_NAME", "/x"}}, "https://h:80/x"},
      {{{"HTTPS", "off"}, {"SERVER_NAME", "h"}, {"SERVER_PORT", "80"}, {"SCRIPT_NAME", "/x"}}, "http://h/x"},
      {{{"SERVER_NAME", "::1"}, {"SERVER_PORT", "8080"}, {"SCRIPT_NAME", "/x"}}, "http://[::1]:8080/x"},
      {{{"SERVER_NAME", "[::1]"}, {"SCRIPT_NAME", "/x"}}, "http://[::1]/x"},
      {{{"SERVER_NAME", "h"}, {"SCRIPT_NAME", "/x"}}, "http://h/x"},
      {{{"SERVER_NAME", "h"}, {"SCRIPT_NAME", "/a b/100%/\xC3\xA9?#"}}, "http://h/a%20b/100%25/%C3%A9%3F%23"},
      {{{"SERVER_NAME", "h"}, {"SCRIPT_NAME", "/x"}, {"PATH_INFO", "/p"}, {"QUERY_STRING", "q=1"}}, "http://h/x"},
      {{{"SERVER_NAME", "a-b.c_d~e"}, {"SERVER_PORT", "65535"}, {"SCRIPT_NAME", ""}}, "http://a-b.c_d~e:65535"},
      {{{"SERVER_NAME", "::ffff:1.2.3.4"}, {"SCRIPT_NAME", "/x"}}, "http://[::ffff:1.2.3.4]/x"},
      // No address rather than one that leads nowhere, or elsewhere.
      {{{"SERVER_NAME", ""}, {"SERVER_PORT", "39375"}, {"SCRIPT_NAME", "/rsvp"}}, ""},
      {{{"SERVER_PORT", "80"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "[]"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "[beef]"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "[::1"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "evil.example/x?"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "u@evil.example"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "h:81"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "h\xC3\xA9"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "h"}, {"SERVER_PORT", "65536"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "h"}, {"SERVER_PORT", "8o"}, {"SCRIPT_NAME", "/x"}}, ""},
      {{{"SERVER_NAME", "h"}, {"SCRIPT_NAME", "x"}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.vars));
    EXPECT_EQ(Request::from_parts(c.vars, "").value().self_url(), c.want);
  }
}

}  // namespace
