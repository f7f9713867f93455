#include <cgiecho/web/response.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <cgiecho/web/request.h>

#include "support/platform_fake.h"

namespace {

using cgiecho::fake::process;
using cgiecho::web::errc;
using cgiecho::web::ResponseHead;
using cgiecho::web::SameSite;
using cgiecho::web::SetCookie;
using namespace std::string_literals;
using namespace std::string_view_literals;

TEST(ResponseStatus, HundredToFiveNinetyNine) {
  const struct {
    int code;
    errc want;
    std::string line;
  } cases[] = {
      {99, errc::invalid_status, ""}, {100, errc::ok, "Status: 100 Continue\r\n"},
      {599, errc::ok, "Status: 599 Unknown\r\n"}, {600, errc::invalid_status, ""}, {0, errc::invalid_status, ""},
      {-200, errc::invalid_status, ""}, {299, errc::ok, "Status: 299 Unknown\r\n"},
      {404, errc::ok, "Status: 404 Not Found\r\n"}, {413, errc::ok, "Status: 413 Content Too Large\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ResponseHead head;
    EXPECT_EQ(head.status(c.code), c.want);
    EXPECT_EQ(head.text(), c.line + "\r\n");
  }
}

// Every refusal leaves the head exactly as it was.
struct Refusal {
  std::string what;
  std::function<errc(ResponseHead&)> call;
  errc want;
};

void expect_rows(const std::vector<Refusal>& rows) {
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ResponseHead head;
    ASSERT_EQ(head.header("X-Before", "1"), errc::ok);
    const std::string before(head.text());
    const errc got = r.call(head);
    EXPECT_EQ(got, r.want);
    if (got != errc::ok) { EXPECT_EQ(head.text(), before); }
  }
}

TEST(ResponseHeader, NameIsATokenValueHasNoLineBreakOrNul) {
  const auto header = [](std::string name, std::string value) {
    return [=](ResponseHead& h) { return h.header(name, value); };
  };
  expect_rows({
      {"plain", header("X-Ok", "a value"), errc::ok},
      {"every tchar", header("!#$%&'*+-.^_`|~09azAZ", "v"), errc::ok},
      {"tab, controls and high bytes in a value", header("X", "a\tb\x01\x7F\xFF"), errc::ok},
      {"empty value", header("X", ""), errc::ok},
      {"CR in value", header("X", "a\rb"), errc::invalid_header},
      {"LF in value", header("X", "a\nSet-Cookie: x=1"), errc::invalid_header},
      {"CRLF at the end", header("X", "a\r\n"), errc::invalid_header},
      {"NUL in value", header("X", "a\0b"s), errc::invalid_header},
      {"empty name", header("", "v"), errc::invalid_header},
      {"space in name", header("X Y", "v"), errc::invalid_header},
      {"colon in name", header("X:", "v"), errc::invalid_header},
      {"CR LF in name", header("X\r\nY", "v"), errc::invalid_header},
      {"NUL in name", header("X\0"s, "v"), errc::invalid_header},
      {"high byte in name", header("X\xC3\xA9", "v"), errc::invalid_header},
      {"separator in name", header("X(Y)", "v"), errc::invalid_header},
      {"Status has its own call", header("status", "200 OK"), errc::invalid_header},
      {"Content-Type has its own call", header("CONTENT-TYPE", "text/plain"), errc::invalid_header},
      {"Location has its own call", header("Location", "http://x/"), errc::invalid_header},
  });
  ResponseHead head;
  ASSERT_EQ(head.header("X-A", "1"), errc::ok);
  ASSERT_EQ(head.header("X-A", "2"), errc::ok);
  EXPECT_EQ(head.text(), "X-A: 1\r\nX-A: 2\r\n\r\n");  // repeated names kept in order
}

TEST(ResponseContentType, MediaTypeAndCharsetChecked) {
  const struct {
    std::string type, charset;
    std::string want;  // the line; empty: refused
  } cases[] = {
      {"text/plain", "UTF-8", "Content-Type: text/plain; charset=UTF-8\r\n"},
      {"image/png", "", "Content-Type: image/png\r\n"},
      {"text/html; charset=latin1", "", "Content-Type: text/html; charset=latin1\r\n"},
      {"multipart/x-mixed-replace; boundary=b", "", "Content-Type: multipart/x-mixed-replace; boundary=b\r\n"},
      {"text/html; Charset=latin1", "UTF-8", ""},  // two charsets
      {"text", "UTF-8", ""}, {"/plain", "", ""}, {"text/", "", ""}, {"text/ html", "", ""},
      {"text/plain\r\nX: y", "", ""}, {"text/plain; a=\0"s, "", ""}, {"text/plain", "utf 8", ""},
      {"text/plain", "utf-8\r\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.type) + " " + testing::PrintToString(c.charset));
    ResponseHead head;
    EXPECT_EQ(head.content_type(c.type, c.charset), c.want.empty() ? errc::invalid_header : errc::ok);
    EXPECT_EQ(head.text(), c.want + "\r\n");
  }
  ResponseHead head;  // a second type replaces the first
  ASSERT_EQ(head.content_type("text/plain"), errc::ok);
  ASSERT_EQ(head.content_type("application/json", "utf-8"), errc::ok);
  EXPECT_EQ(head.text(), "Content-Type: application/json; charset=utf-8\r\n\r\n");
}

TEST(ResponseSetCookie, SafeDefaultsAndCheckedFields) {
  const auto line = [](const SetCookie& c) {
    ResponseHead head;
    const errc e = head.set_cookie(c);
    return e == errc::ok ? std::string(head.text()) : std::string(cgiecho::web::code_name(e));
  };
  const struct {
    std::string what;
    SetCookie cookie;
    std::string want;
  } cases[] = {
      {"defaults", {"id", "abc"}, "Set-Cookie: id=abc; Secure; HttpOnly; SameSite=Lax\r\n\r\n"},
      {"every attribute", {"id", "\"a-b\"", "/app", ".example.com", 3600, true, true, SameSite::strict},
       "Set-Cookie: id=\"a-b\"; Path=/app; Domain=.example.com; Max-Age=3600; Secure; HttpOnly; SameSite=Strict\r\n\r\n"},
      {"deleting", {"id", "", "/", "", 0, false, false, SameSite::unset}, "Set-Cookie: id=; Path=/; Max-Age=0\r\n\r\n"},
      {"SameSite=None with Secure", {"id", "1", "", "", -1, true, false, SameSite::none},
       "Set-Cookie: id=1; Secure; SameSite=None\r\n\r\n"},
      {"__Host- done right", {"__Host-id", "1", "/"}, "Set-Cookie: __Host-id=1; Path=/; Secure; HttpOnly; SameSite=Lax\r\n\r\n"},
      {"empty name", {"", "1"}, "invalid_cookie"},
      {"= in name", {"a=b", "1"}, "invalid_cookie"},
      {"; in name", {"a;b", "1"}, "invalid_cookie"},
      {"CR LF in name", {"a\r\nb", "1"}, "invalid_cookie"},
      {"; in value", {"a", "1; Domain=evil"}, "invalid_cookie"},
      {"CR in value", {"a", "1\r"}, "invalid_cookie"},
      {"LF in value", {"a", "1\nX: y"}, "invalid_cookie"},
      {"NUL in value", {"a", "1\0"sv}, "invalid_cookie"},
      {"space in value", {"a", "1 2"}, "invalid_cookie"},
      {"comma in value", {"a", "1,2"}, "invalid_cookie"},
      {"backslash in value", {"a", "1\\2"}, "invalid_cookie"},
      {"quote inside value", {"a", "\"1\"2\""}, "invalid_cookie"},
      {"lone quote", {"a", "\""}, "invalid_cookie"},
      {"high byte in value", {"a", "\xC3\xA9"}, "invalid_cookie"},
      {"; in path", {"a", "1", "/x;Secure"}, "invalid_cookie"},
      {"CR LF in path", {"a", "1", "/x\r\nX: y"}, "invalid_cookie"},
      {"NUL in path", {"a", "1", "/x\0"sv}, "invalid_cookie"},
      {"space in domain", {"a", "1", "", "a b"}, "invalid_cookie"},
      {"; in domain", {"a", "1", "", "a;b"}, "invalid_cookie"},
      {"LF in domain", {"a", "1", "", "a\nb"}, "invalid_cookie"},
      {"SameSite=None without Secure", {"a", "1", "", "", -1, false, true, SameSite::none}, "invalid_cookie"},
      {"__Secure- without Secure", {"__Secure-a", "1", "", "", -1, false}, "invalid_cookie"},
      {"__host- without Secure", {"__host-a", "1", "/", "", -1, false}, "invalid_cookie"},
      {"__Host- with a Domain", {"__Host-a", "1", "/", "example.com"}, "invalid_cookie"},
      {"__Host- with another Path", {"__Host-a", "1", "/x"}, "invalid_cookie"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(line(c.cookie), c.want);
  }
}

TEST(ResponseRedirect, AbsoluteNeedsASchemeLocalNeedsAPath) {
  const auto redirect = [](std::string uri, int status = 302) {
    return [=](ResponseHead& h) { return h.redirect(uri, status); };
  };
  const auto local = [](std::string path) { return [=](ResponseHead& h) { return h.local_redirect(path); }; };
  expect_rows({
      {"https", redirect("https://example.com/a?b#c"), errc::ok},
      {"any scheme", redirect("h+t-t.p1:x"), errc::ok},
      {"303", redirect("https://x/", 303), errc::ok},
      {"no scheme", redirect("/path"), errc::invalid_redirect},
      {"host only", redirect("example.com"), errc::invalid_redirect},
      {"scheme starts with a digit", redirect("1http://x"), errc::invalid_redirect},
      {"empty scheme", redirect(":x"), errc::invalid_redirect},
      {"bad scheme byte", redirect("ht_tp://x"), errc::invalid_redirect},
      {"empty", redirect(""), errc::invalid_redirect},
      {"space", redirect("http://a b"), errc::invalid_redirect},
      {"CR LF", redirect("http://a\r\nSet-Cookie: x=1"), errc::invalid_redirect},
      {"NUL", redirect("http://a\0"s), errc::invalid_redirect},
      {"status 200", redirect("https://x/", 200), errc::invalid_status},
      {"status 400", redirect("https://x/", 400), errc::invalid_status},
      // A local redirect is the only header: X-Before is already there.
      {"local after a header", local("/x"), errc::invalid_redirect},
  });
  const struct {
    std::string path;
    bool ok;
  } paths[] = {{"/", true}, {"/x/y?z=1&w", true}, {"/\xC3\xA9", true}, {"", false}, {"x", false},
               {"http://x/", false}, {"//evil.example", false}, {"/\\evil.example", false}, {"/a b", false},
               {"/a#frag", false}, {"/a\r\nX: y", false}, {"/a\0"s, false}, {"/a\t", false}};
  for (const auto& p : paths) {
    SCOPED_TRACE(testing::PrintToString(p.path));
    ResponseHead head;
    EXPECT_EQ(head.local_redirect(p.path), p.ok ? errc::ok : errc::invalid_redirect);
    EXPECT_EQ(head.text(), p.ok ? "Location: " + p.path + "\r\n\r\n" : "\r\n");
  }

  ResponseHead head;
  ASSERT_EQ(head.status(201), errc::ok);
  ASSERT_EQ(head.redirect("https://x/"), errc::ok);
  EXPECT_EQ(head.text(), "Status: 302 Found\r\nLocation: https://x/\r\n\r\n");
  EXPECT_EQ(head.redirect("https://y/"), errc::invalid_redirect);  // one Location
}

TEST(ResponseRedirect, NothingElseBesideALocalRedirect) {
  const struct {
    std::string what;
    std::function<errc(ResponseHead&)> call;
    bool allowed_before;  // fine on its own, so it must make a later local redirect fail
  } others[] = {
      {"status", [](ResponseHead& h) { return h.status(200); }, true},
      {"content type", [](ResponseHead& h) { return h.content_type("text/plain"); }, true},
      {"header", [](ResponseHead& h) { return h.header("X", "1"); }, true},
      {"cookie", [](ResponseHead& h) { return h.set_cookie({"a", "1"}); }, true},
      {"redirect", [](ResponseHead& h) { return h.redirect("https://x/"); }, true},
      {"local redirect", [](ResponseHead& h) { return h.local_redirect("/y"); }, false},
      {"send a body", [](ResponseHead& h) { return h.send("body"); }, false},
  };
  for (const auto& o : others) {
    SCOPED_TRACE(o.what);
    ResponseHead head;
    ASSERT_EQ(head.local_redirect("/x"), errc::ok);
    EXPECT_EQ(o.call(head), errc::invalid_redirect);
    EXPECT_EQ(head.text(), "Location: /x\r\n\r\n");
    if (!o.allowed_before) continue;
    ResponseHead first;
    ASSERT_EQ(o.call(first), errc::ok);
    const std::string before(first.text());
    EXPECT_EQ(first.local_redirect("/x"), errc::invalid_redirect);
    EXPECT_EQ(first.text(), before);
  }
}

class ResponseSend : public testing::Test {
 protected:
  void SetUp() override { cgiecho::fake::reset(); }
};

TEST_F(ResponseSend, HeadOnceWithTheBodyInTheSameWrite) {
  const struct {
    std::string what;
    std::function<void(ResponseHead&)> build;
    std::string body;
    std::vector<std::string> writes;
  } cases[] = {
      {"nothing set, a body", [](ResponseHead&) {}, "<p>hi</p>",
       {"Content-Type: text/html; charset=UTF-8\r\n\r\n<p>hi</p>"}},
      {"nothing set, no body", [](ResponseHead&) {}, "", {"Content-Type: text/html; charset=UTF-8\r\n\r\n"}},
      {"status only, no body", [](ResponseHead& h) { h.status(204); }, "", {"Status: 204 No Content\r\n\r\n"}},
      {"status and a body", [](ResponseHead& h) { h.status(404); }, "gone",
       {"Status: 404 Not Found\r\nContent-Type: text/html; charset=UTF-8\r\n\r\ngone"}},
      {"own type", [](ResponseHead& h) { h.content_type("text/plain"); }, "x",
       {"Content-Type: text/plain; charset=UTF-8\r\n\r\nx"}},
      {"redirect without a body", [](ResponseHead& h) { h.redirect("https://x/", 303); }, "",
       {"Status: 303 See Other\r\nLocation: https://x/\r\n\r\n"}},
      {"local redirect", [](ResponseHead& h) { h.local_redirect("/x"); }, "", {"Location: /x\r\n\r\n"}},
      {"a NUL in the body", [](ResponseHead& h) { h.content_type("application/octet-stream", ""); }, "a\0b"s,
       {"Content-Type: application/octet-stream\r\n\r\na\0b"s}},
      {"1 MiB body: one write", [](ResponseHead& h) { h.content_type("text/plain", ""); },
       std::string(1 << 20, 'x'), {"Content-Type: text/plain\r\n\r\n" + std::string(1 << 20, 'x')}},
      {"1 MiB + 1: two writes", [](ResponseHead& h) { h.content_type("text/plain", ""); },
       std::string((1 << 20) + 1, 'x'), {"Content-Type: text/plain\r\n\r\n", std::string((1 << 20) + 1, 'x')}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    ResponseHead head;
    c.build(head);
    EXPECT_EQ(head.send(c.body), errc::ok);
    EXPECT_EQ(process().writes, c.writes);
  }
}

TEST_F(ResponseSend, OnlyOnceThenTheBodyGoesOn) {
  ResponseHead head;
  ASSERT_EQ(head.write("first "), errc::ok);  // before send: sends the head too
  EXPECT_EQ(head.send("again"), errc::head_already_sent);
  EXPECT_EQ(head.status(200), errc::head_already_sent);
  EXPECT_EQ(head.header("X", "1"), errc::head_already_sent);
  EXPECT_EQ(head.set_cookie({"a", "1"}), errc::head_already_sent);
  EXPECT_EQ(head.redirect("https://x/"), errc::head_already_sent);
  EXPECT_EQ(head.write("second"), errc::ok);
  EXPECT_EQ(process().writes,
            (std::vector<std::string>{"Content-Type: text/html; charset=UTF-8\r\n\r\nfirst ", "second"}));
}

cgiecho::web::Request request_with_method(const std::string& method) {
  cgiecho::web::Request r;
  EXPECT_EQ(cgiecho::web::Request::from_parts({{"REQUEST_METHOD", method}}, "", {}, r), errc::ok);
  return r;
}

// A HEAD answer is the GET answer's head, byte for byte, without a body,
// however the body is handed over; every other method gets the body.
TEST_F(ResponseSend, HeadGetsTheHeaderBlockAlone) {
  const std::string big((1 << 20) + 1, 'b');
  const struct {
    std::string what;
    std::function<void(ResponseHead&)> build;
    std::function<std::vector<errc>(ResponseHead&)> answer;
    std::vector<std::string> get, head;
  } cases[] = {
      {"send with a body", [](ResponseHead& h) { h.status(200); },
       [](ResponseHead& h) { return std::vector<errc>{h.send("<p>page</p>")}; },
       {"Status: 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n<p>page</p>"},
       {"Status: 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n"}},
      {"send without a body", [](ResponseHead& h) { h.status(204); },
       [](ResponseHead& h) { return std::vector<errc>{h.send()}; }, {"Status: 204 No Content\r\n\r\n"},
       {"Status: 204 No Content\r\n\r\n"}},
      {"send, then write", [](ResponseHead& h) { h.content_type("text/plain", ""); },
       [](ResponseHead& h) { return std::vector<errc>{h.send("a"), h.write("b"), h.write("")}; },
       {"Content-Type: text/plain\r\n\r\na", "b"}, {"Content-Type: text/plain\r\n\r\n"}},
      {"write before send", [](ResponseHead& h) { h.header("X-A", "1"); },
       [](ResponseHead& h) { return std::vector<errc>{h.write("a"), h.write("b")}; },
       {"Content-Type: text/html; charset=UTF-8\r\nX-A: 1\r\n\r\na", "b"},
       {"Content-Type: text/html; charset=UTF-8\r\nX-A: 1\r\n\r\n"}},
      {"a body over 1 MiB", [](ResponseHead& h) { h.content_type("text/plain", ""); },
       [&big](ResponseHead& h) { return std::vector<errc>{h.send(big)}; }, {"Content-Type: text/plain\r\n\r\n", big},
       {"Content-Type: text/plain\r\n\r\n"}},
      {"redirect", [](ResponseHead& h) { h.redirect("https://x/", 303); },
       [](ResponseHead& h) { return std::vector<errc>{h.send()}; },
       {"Status: 303 See Other\r\nLocation: https://x/\r\n\r\n"},
       {"Status: 303 See Other\r\nLocation: https://x/\r\n\r\n"}},
      {"a body after a local redirect is refused alike", [](ResponseHead& h) { h.local_redirect("/x"); },
       [](ResponseHead& h) { return std::vector<errc>{h.send("no"), h.send()}; }, {"Location: /x\r\n\r\n"},
       {"Location: /x\r\n\r\n"}},
  };
  for (const auto& c : cases) {
    for (const std::string method : {"GET", "HEAD", "POST", "head", ""}) {
      SCOPED_TRACE(c.what + " " + method);
      cgiecho::fake::reset();
      const cgiecho::web::Request request = request_with_method(method);
      ResponseHead plain;  // the default head always sends the body
      c.build(plain);
      const std::vector<errc> want = c.answer(plain);
      EXPECT_EQ(process().writes, c.get);
      cgiecho::fake::reset();
      ResponseHead head(request);
      c.build(head);
      EXPECT_EQ(c.answer(head), want);
      EXPECT_EQ(process().writes, method == "HEAD" ? c.head : c.get);
    }
  }
}

TEST_F(ResponseSend, AFailedWriteIsReportedNotOk) {
  EXPECT_EQ(cgiecho::web::code_name(errc::write_failed), "write_failed");
  EXPECT_EQ(cgiecho::web::http_status(errc::write_failed), 500);
  const std::string big((1 << 20) + 1, 'b');
  const struct {
    std::string what;
    std::function<std::vector<errc>(ResponseHead&)> answer;
    std::vector<errc> want;
  } cases[] = {
      {"send", [](ResponseHead& h) { return std::vector<errc>{h.send("x")}; }, {errc::write_failed}},
      {"send without a body", [](ResponseHead& h) { return std::vector<errc>{h.send()}; }, {errc::write_failed}},
      {"send over 1 MiB", [&big](ResponseHead& h) { return std::vector<errc>{h.send(big)}; }, {errc::write_failed}},
      // The head went out as far as it could: it is not sent twice.
      {"send again", [](ResponseHead& h) { return std::vector<errc>{h.send("x"), h.send("x")}; },
       {errc::write_failed, errc::head_already_sent}},
      {"write before send", [](ResponseHead& h) { return std::vector<errc>{h.write("x")}; }, {errc::write_failed}},
      {"write after send", [](ResponseHead& h) { return std::vector<errc>{h.send(), h.write("x"), h.write("")}; },
       {errc::write_failed, errc::write_failed, errc::ok}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    process().stdout_fails = true;
    ResponseHead head;
    EXPECT_EQ(c.answer(head), c.want);
  }
  // Only the body's write fails: the head went, the body did not.
  cgiecho::fake::reset();
  ResponseHead head;
  ASSERT_EQ(head.send("x"), errc::ok);
  process().stdout_fails = true;
  EXPECT_EQ(head.write("y"), errc::write_failed);
  process().stdout_fails = false;
  EXPECT_EQ(head.write("z"), errc::ok);
}

TEST(HtmlEscape, FiveCharactersAndNothingElse) {
  const struct {
    std::string text, want;
  } cases[] = {
      {"", ""}, {"plain text", "plain text"}, {"&<>\"'", "&amp;&lt;&gt;&quot;&#39;"},
      {"<a href=\"x\">O'Neil & co</a>", "&lt;a href=&quot;x&quot;&gt;O&#39;Neil &amp; co&lt;/a&gt;"},
      {"&amp;", "&amp;amp;"}, {"a\0<"s, "a\0&lt;"s}, {"\xC3\xA9\xFF/=`", "\xC3\xA9\xFF/=`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(cgiecho::web::html_escape(c.text), c.want);
    std::string out = "kept|";
    EXPECT_EQ(cgiecho::web::html_escape(c.text, out), errc::ok);
    EXPECT_EQ(out, "kept|" + c.want);
  }
}

// The sizes of html_escape in 64 bits, at the boundaries of a 32-bit
// std::string and of a 64-bit one, where a sum in size_t would wrap and
// let the escaped text run past the room taken for it.
TEST(HtmlEscape, SizesCountedWithoutWrapping) {
  EXPECT_EQ(cgiecho::web::html_escape_growth(""), 0u);
  EXPECT_EQ(cgiecho::web::html_escape_growth("a&b<>\"'\0"s), 4u + 3 + 3 + 5 + 5);
  constexpr std::uint64_t k32 = 0xFFFFFFFFu;  // a 32-bit size_t's largest value
  constexpr std::uint64_t k64 = UINT64_MAX;
  constexpr std::uint64_t kQuotes = 715'827'883;  // six times that passes 2^32
  const struct {
    std::uint64_t have, text, growth, max;
    bool want;
  } cases[] = {
      {0, 0, 0, 0, true},
      {0, kQuotes, 5 * kQuotes, k32, false},  // 4294967298: wraps to 2 in 32 bits
      {0, kQuotes - 1, 5 * (kQuotes - 1), k32, true},
      {0, k32, 0, k32, true},
      {1, k32, 0, k32, false},
      {k32, 0, 1, k32, false},
      {k32, 0, 0, k32, true},
      {k32 + 1, 0, 0, k32, false},
      {10, 20, k32 - 30, k32, true},
      {10, 20, k32 - 29, k32, false},
      {k64, 1, 0, k64, false},
      {1, k64, 0, k64, false},
      {2, 3, k64 - 4, k64, false},
      {2, 3, k64 - 5, k64, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.have) + " + " + std::to_string(c.text) + " + " + std::to_string(c.growth) +
                 " within " + std::to_string(c.max));
    EXPECT_EQ(cgiecho::web::escape_fits(c.have, c.text, c.growth, c.max), c.want);
  }
}

}  // namespace
