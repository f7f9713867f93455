#include "inspect/inspect.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/platform_fake.h"

namespace {

using cgiecho::platform::Variables;
using Env = std::map<std::string, std::string>;

// One request on the scripted system: its answer, which must be one write.
std::string answer(const Env& env, std::vector<std::string> pieces, const Variables& own = {}) {
  cgiecho::fake::reset();
  auto& p = cgiecho::fake::process();
  p.environment = env;
  p.stdin_pieces = std::move(pieces);
  cgiecho::inspect::answer_request(own);
  EXPECT_EQ(p.writes.size(), 1u);
  return p.written();
}

std::uint64_t unread() {
  const auto& p = cgiecho::fake::process();
  std::uint64_t n = 0;
  for (const auto& piece : p.stdin_pieces) n += piece.size();
  return n - p.stdin_taken;
}

std::vector<std::string> cut(const std::string& s, std::size_t every) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < s.size(); at += every) pieces.push_back(s.substr(at, every));
  return pieces;
}

std::string multipart(const std::string& file) {
  return "--b\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\ntext\r\n"
         "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\nContent-Type: a/b\r\n\r\n" +
         file + "\r\n--b--\r\n";
}

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find('\r')); }

// However the body arrives (pieces of one byte, or cut anywhere near the
// buffers' sizes), the answer is that of the whole: the hashes, the
// parsers and the reading loop carry their state across every cut. A body
// past a megabyte is hashed on a second thread.
TEST(AnswerRequest, BodyInAnyPiecesGivesTheAnswerOfTheWhole) {
  std::string large(3 << 19, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 >> 3);
  const struct {
    const char* name;
    std::string type, body;
    std::vector<std::size_t> splits;
  } cases[] = {
      {"url-encoded", "application/x-www-form-urlencoded", "a=1&b=%C3%A9+x&c&&d=", {1, 2, 5}},
      {"other", "text/plain", std::string(1000, 'z'), {1, 3, 999}},
      {"multipart", "multipart/form-data; boundary=b", multipart("\r\n--b not yet\r\n--"), {1, 2, 3, 7, 13}},
      {"large multipart", "multipart/form-data; boundary=b", multipart(large), {4093, 65537, 262143, 262145}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Env env = {{"REQUEST_METHOD", "POST"},
                     {"CONTENT_TYPE", c.type},
                     {"CONTENT_LENGTH", std::to_string(c.body.size())}};
    const std::string whole = answer(env, {c.body});
    EXPECT_EQ(status_line(whole), "Status: 200 OK") << whole;
    for (std::size_t every : c.splits) {
      SCOPED_TRACE(every);
      EXPECT_EQ(answer(env, cut(c.body, every)), whole);
    }
  }
}

// A refused body is read off, up to a bound, so that servers that wait for
// it pass the answer on; a length that is not a number reads nothing.
TEST(AnswerRequest, RefusedBodyIsReadOffUpToABound) {
  const std::uint64_t bound = std::uint64_t{64} << 20;
  const std::string big(bound + 1000, 'x');
  const std::string small(100, 'x');
  const std::string large_form = multipart(std::string(3 << 20, 'y'));
  const struct {
    const char* name;
    Env env;
    const std::string& body;
    std::string status;
    std::uint64_t left;
  } cases[] = {
      {"over the body limit", {{"CONTENT_LENGTH", "100"}, {"CGIECHO_MAX_BODY", "99"}}, small, "413", 0},
      {"past the bound", {{"CONTENT_LENGTH", std::to_string(big.size())}, {"CGIECHO_MAX_BODY", "99"}}, big, "413",
       1000},
      {"over the field limit of the query", {{"CONTENT_LENGTH", "100"}, {"QUERY_STRING", "a&b"}, {"CGIECHO_MAX_FIELDS", "1"}},
       small, "414", 0},
      {"bad limit", {{"CONTENT_LENGTH", "100"}, {"CGIECHO_MAX_FILE", "-1"}}, small, "500", 0},
      {"file over its limit midway",
       {{"CONTENT_LENGTH", std::to_string(multipart(small).size())},
        {"CONTENT_TYPE", "multipart/form-data; boundary=b"},
        {"CGIECHO_MAX_FILE", "10"}},
       multipart(small), "413", 0},
      {"file over its limit midway, parsed on the second thread",
       {{"CONTENT_LENGTH", std::to_string(large_form.size())},
        {"CONTENT_TYPE", "multipart/form-data; boundary=b"},
        {"CGIECHO_MAX_FILE", "1000000"}},
       large_form, "413", 0},
      {"length not a number", {{"CONTENT_LENGTH", "1OO"}}, small, "400", 100},
      {"up to CGIECHO_READ_OFF", {{"CONTENT_LENGTH", "100"}, {"CGIECHO_MAX_BODY", "99"}, {"CGIECHO_READ_OFF", "10"}},
       small, "413", 90},
      {"bad limit: the default bound", {{"CONTENT_LENGTH", "100"}, {"CGIECHO_READ_OFF", "x"}}, small, "500", 0},
      {"no boundary, with a body",
       {{"CONTENT_LENGTH", "100"}, {"CONTENT_TYPE", "multipart/form-data"}}, small, "400", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Env env = c.env;
    env["REQUEST_METHOD"] = "POST";
    EXPECT_EQ(status_line(answer(env, {c.body})).substr(8, 3), c.status);
    EXPECT_EQ(unread(), c.left);
  }
}

// The inspector reads a request as the web layer's Request does: the same
// checks in the same order, a request without a body needs no boundary, a
// failed read is the server's error and not a short body, and a refusal is
// logged by the same line.
TEST(AnswerRequest, ReadsARequestAsTheWebLayerDoes) {
  const struct {
    const char* name;
    Env env;
    std::string body;
    bool fails;
    std::string status;
    std::string log;
  } cases[] = {
      {"multipart without a boundary, no body", {{"CONTENT_TYPE", "multipart/form-data"}}, "", false, "200", ""},
      {"... with an empty CONTENT_LENGTH", {{"CONTENT_TYPE", "multipart/form-data"}, {"CONTENT_LENGTH", ""}}, "",
       false, "200", ""},
      {"the body's length before the boundary",
       {{"CONTENT_TYPE", "multipart/form-data"}, {"CONTENT_LENGTH", "5"}, {"CGIECHO_MAX_BODY", "4"}}, "abcde", false,
       "413", "CGIECHO_MAX_BODY (4) passed (413 body_too_large)"},
      {"the boundary before the query",
       {{"CONTENT_TYPE", "multipart/form-data"}, {"CONTENT_LENGTH", "5"}, {"QUERY_STRING", "a&b"},
        {"CGIECHO_MAX_FIELDS", "1"}},
       "abcde", false, "400", "The multipart body breaks the multipart rules (400 malformed_multipart)"},
      {"a form over max_form", {{"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"CONTENT_LENGTH", "5"},
       {"CGIECHO_MAX_FORM", "4"}}, "a=123", false, "413", "CGIECHO_MAX_FORM (4) passed (413 body_too_large)"},
      {"a short body", {{"CONTENT_LENGTH", "5"}}, "abc", false, "400",
       "The body ended before CONTENT_LENGTH bytes arrived (400 body_truncated)"},
      {"a failed read", {{"CONTENT_LENGTH", "5"}}, "abc", true, "500",
       "The request body could not be read (500 read_failed)"},
      {"a failed read, multipart",
       {{"CONTENT_LENGTH", "500"}, {"CONTENT_TYPE", "multipart/form-data; boundary=b"}}, multipart("x"), true, "500",
       "The request body could not be read (500 read_failed)"},
      {"a bad limit", {{"CGIECHO_MAX_PARTS", "1e3"}}, "", false, "500",
       "CGIECHO_MAX_PARTS is not a plain decimal number (500 invalid_limit)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cgiecho::fake::reset();
    auto& p = cgiecho::fake::process();
    p.environment = c.env;
    p.environment["REQUEST_METHOD"] = "POST";
    p.environment["SCRIPT_NAME"] = "/i";
    if (!c.body.empty()) p.stdin_pieces = {c.body};
    p.stdin_fails = c.fails;
    cgiecho::inspect::answer_request({});
    EXPECT_EQ(status_line(p.written()).substr(8, 3), c.status) << p.written();
    EXPECT_EQ(p.errors, c.log.empty() ? "" : "prog: refused a request to /i: " + c.log + "\n");
  }
}

// Under FastCGI a limit comes from the request's parameters, else from the
// responder's own environment; whichever applies is checked.
TEST(AnswerRequest, OwnLimitsApplyWhereTheRequestSetsNone) {
  const Variables own = cgiecho::inspect::limit_variables(
      {{"PATH", "/bin"}, {"CGIECHO_MAX_FIELDS", "1"}, {"cgiecho_max_body", "0"}, {"CGIECHO_MAX_COOKIES", "1"}});
  ASSERT_EQ(own, (Variables{{"CGIECHO_MAX_FIELDS", "1"}, {"CGIECHO_MAX_COOKIES", "1"}}));
  const Variables bad_own = {{"CGIECHO_MAX_FIELDS", "one"}};
  const struct {
    const char* name;
    Env env;
    const Variables& own;
    std::string status;
  } cases[] = {
      {"own limit met", {{"QUERY_STRING", "a"}}, own, "200"},
      {"own limit passed", {{"QUERY_STRING", "a&b"}}, own, "414"},
      {"the request's value wins", {{"QUERY_STRING", "a&b"}, {"CGIECHO_MAX_FIELDS", "2"}}, own, "200"},
      {"the request's value wins, smaller", {{"HTTP_COOKIE", "a=1"}, {"CGIECHO_MAX_COOKIES", "0"}}, own, "431"},
      {"an own value that is not a number", {{"QUERY_STRING", "a"}}, bad_own, "500"},
      {"... unless the request sets its own", {{"QUERY_STRING", "a"}, {"CGIECHO_MAX_FIELDS", "5"}}, bad_own, "200"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Env env = c.env;
    env["REQUEST_METHOD"] = "GET";
    EXPECT_EQ(status_line(answer(env, {}, c.own)).substr(8, 3), c.status);
  }
}

}  // namespace
