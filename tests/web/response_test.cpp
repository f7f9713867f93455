#include <cgiecho/web/response.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <cgiecho/web/request.h>

#include "support/platform_fake.h"

namespace cgiecho::web {
static void PrintTo(errc e, std::ostream* os) { *os << code_name(e); }
}  // namespace cgiecho::web

namespace {

using cgiecho::fake::process;
using cgiecho::web::errc;
using cgiecho::web::Response;
using cgiecho::web::result;
using cgiecho::web::SameSite;
using cgiecho::web::SetCookie;
using cgiecho::web::Variables;
using namespace std::string_literals;
using namespace std::string_view_literals;

errc code(const result<void>& r) { return r ? errc::ok : r.error().code(); }

constexpr std::string_view kHtml = "Content-Type: text/html; charset=UTF-8\r\n\r\n";

cgiecho::web::Request request_of(Variables variables) {
  auto r = cgiecho::web::Request::from_parts(std::move(variables), "");
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : cgiecho::web::Request();
}

// The head's type until one is set.
const std::string kType = "Content-Type: text/html; charset=UTF-8\r\n";

// A head's text without the default type, for tables of other headers.
std::string without_type(std::string_view text) {
  return std::string(text.substr(0, kType.size()) == kType ? text.substr(kType.size()) : text);
}

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
    Response head;
    EXPECT_EQ(code(head.status(c.code)), c.want);
    EXPECT_EQ(head.text(), c.line + kType + "\r\n");
  }
}

// Every refusal leaves the head exactly as it was, and names what it
// refused where the call says it does.
struct Refusal {
  std::string what;
  std::function<result<void>(Response&)> call;
  errc want;
  std::string detail = {};
};

void expect_rows(const std::vector<Refusal>& rows) {
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Response head;
    ASSERT_EQ(code(head.header("X-Before", "1")), errc::ok);
    const std::string before(head.text());
    const result<void> got = r.call(head);
    EXPECT_EQ(code(got), r.want);
    if (!got) {
      EXPECT_EQ(head.text(), before);
      EXPECT_EQ(got.error().detail(), r.detail);
    }
  }
}

TEST(ResponseHeader, NameIsATokenValueHasNoLineBreakOrNul) {
  const auto header = [](std::string name, std::string value) {
    return [=](Response& h) { return h.header(name, value); };
  };
  expect_rows({
      {"plain", header("X-Ok", "a value"), errc::ok},
      {"every tchar", header("!#$%&'*+-.^_`|~09azAZ", "v"), errc::ok},
      {"tab, controls and high bytes in a value", header("X", "a\tb\x01\x7F\xFF"), errc::ok},
      {"empty value", header("X", ""), errc::ok},
      {"a name that only starts like one of its own", header("Content-Lengths", "1"), errc::ok},
      {"CR in value", header("X", "a\rb"), errc::invalid_header, "X"},
      {"LF in value", header("X", "a\nSet-Cookie: x=1"), errc::invalid_header, "X"},
      {"CRLF at the end", header("X", "a\r\n"), errc::invalid_header, "X"},
      {"NUL in value", header("X", "a\0b"s), errc::invalid_header, "X"},
      {"empty name", header("", "v"), errc::invalid_header, ""},
      {"space in name", header("X Y", "v"), errc::invalid_header, "X Y"},
      {"colon in name", header("X:", "v"), errc::invalid_header, "X:"},
      {"CR LF in name", header("X\r\nY", "v"), errc::invalid_header, "X\r\nY"},
      {"NUL in name", header("X\0"s, "v"), errc::invalid_header, "X\0"s},
      {"high byte in name", header("X\xC3\xA9", "v"), errc::invalid_header, "X\xC3\xA9"},
      {"separator in name", header("X(Y)", "v"), errc::invalid_header, "X(Y)"},
      {"Status has its own call", header("status", "200 OK"), errc::invalid_header, "status"},
      {"Content-Type has its own call", header("CONTENT-TYPE", "text/plain"), errc::invalid_header, "CONTENT-TYPE"},
      {"Location has its own call", header("Location", "http://x/"), errc::invalid_header, "Location"},
      // A Set-Cookie here would pass around every check of set_cookie.
      {"Set-Cookie has its own call", header("Set-Cookie", "a=1"), errc::invalid_header, "Set-Cookie"},
      {"set-cookie in lower case", header("set-cookie", "a=1"), errc::invalid_header, "set-cookie"},
      // The body decides its length; a wrong one cuts or stalls the answer.
      {"Content-Length", header("Content-Length", "5"), errc::invalid_header, "Content-Length"},
      {"CONTENT-length", header("CONTENT-length", "5"), errc::invalid_header, "CONTENT-length"},
  });
  Response head;
  ASSERT_EQ(code(head.header("X-A", "1")), errc::ok);
  ASSERT_EQ(code(head.header("X-A", "2")), errc::ok);
  EXPECT_EQ(head.text(), kType + "X-A: 1\r\nX-A: 2\r\n\r\n");  // repeated names kept in order
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
    Response head;
    EXPECT_EQ(code(head.content_type(c.type, c.charset)), c.want.empty() ? errc::invalid_header : errc::ok);
    EXPECT_EQ(head.text(), (c.want.empty() ? kType : c.want) + "\r\n");
  }
  Response head;  // a second type replaces the first
  ASSERT_EQ(code(head.content_type("text/plain")), errc::ok);
  ASSERT_EQ(code(head.content_type("application/json", "utf-8")), errc::ok);
  EXPECT_EQ(head.text(), "Content-Type: application/json; charset=utf-8\r\n\r\n");
}

TEST(ResponseSetCookie, SafeDefaultsAndCheckedFields) {
  const struct {
    std::string what;
    SetCookie cookie;
    std::string want;  // the head, or "invalid_cookie" (the cookie's name the detail)
  } cases[] = {
      {"defaults", SetCookie("id", "abc"), "Set-Cookie: id=abc; Secure; HttpOnly; SameSite=Lax\r\n\r\n"},
      {"every attribute",
       SetCookie("id", "a-b").path("/app").domain(".example.com").max_age(3600).expires(1445412480).secure(true)
           .http_only(true).same_site(SameSite::strict),
       "Set-Cookie: id=a-b; Path=/app; Domain=.example.com; Max-Age=3600; Expires=Wed, 21 Oct 2015 07:28:00 GMT; "
       "Secure; HttpOnly; SameSite=Strict\r\n\r\n"},
      {"deleting by hand", SetCookie("id").path("/").max_age(0).secure(false).http_only(false).same_site(SameSite::unset),
       "Set-Cookie: id=; Path=/; Max-Age=0\r\n\r\n"},
      {"removal", SetCookie::removal("id"),
       "Set-Cookie: id=; Max-Age=0; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Secure; HttpOnly; SameSite=Lax\r\n\r\n"},
      {"removal of a __Host- cookie", SetCookie::removal("__Host-id").path("/"),
       "Set-Cookie: __Host-id=; Path=/; Max-Age=0; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Secure; HttpOnly; "
       "SameSite=Lax\r\n\r\n"},
      {"negative Max-Age", SetCookie("id", "1").max_age(-1).same_site(SameSite::unset),
       "Set-Cookie: id=1; Max-Age=-1; Secure; HttpOnly\r\n\r\n"},
      {"SameSite=None with Secure", SetCookie("id", "1").secure(true).http_only(false).same_site(SameSite::none),
       "Set-Cookie: id=1; Secure; SameSite=None\r\n\r\n"},
      {"__Host- done right", SetCookie("__Host-id", "1").path("/"),
       "Set-Cookie: __Host-id=1; Path=/; Secure; HttpOnly; SameSite=Lax\r\n\r\n"},
      // Expires as an HTTP date, from 1601 to the end of 9999.
      {"expires at 0", SetCookie("a").expires(0).http_only(false).same_site(SameSite::unset),
       "Set-Cookie: a=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Secure\r\n\r\n"},
      {"expires a second before 1970", SetCookie("a").expires(-1).http_only(false).same_site(SameSite::unset),
       "Set-Cookie: a=; Expires=Wed, 31 Dec 1969 23:59:59 GMT; Secure\r\n\r\n"},
      {"expires on a leap day", SetCookie("a").expires(951782400).http_only(false).same_site(SameSite::unset),
       "Set-Cookie: a=; Expires=Tue, 29 Feb 2000 00:00:00 GMT; Secure\r\n\r\n"},
      {"expires at the last second of 9999",
       SetCookie("a").expires(253402300799).http_only(false).same_site(SameSite::unset),
       "Set-Cookie: a=; Expires=Fri, 31 Dec 9999 23:59:59 GMT; Secure\r\n\r\n"},
      {"expires at the first second of 1601",
       SetCookie("a").expires(-11644473600).http_only(false).same_site(SameSite::unset),
       "Set-Cookie: a=; Expires=Mon, 01 Jan 1601 00:00:00 GMT; Secure\r\n\r\n"},
      {"expires in 10000", SetCookie("a").expires(253402300800), "invalid_cookie"},
      {"expires before 1601", SetCookie("a").expires(-11644473601), "invalid_cookie"},
      {"expires at the largest time", SetCookie("a").expires(INT64_MAX), "invalid_cookie"},
      {"expires at the smallest time", SetCookie("a").expires(INT64_MIN), "invalid_cookie"},
      // A value holds any bytes: what would break the header goes out as %XX.
      {"; in value", SetCookie("a", "1; Domain=evil").same_site(SameSite::unset),
       "Set-Cookie: a=1%3B%20Domain=evil; Secure; HttpOnly\r\n\r\n"},
      {"CR LF in value", SetCookie("a", "1\r\nX: y").same_site(SameSite::unset),
       "Set-Cookie: a=1%0D%0AX:%20y; Secure; HttpOnly\r\n\r\n"},
      {"NUL, comma, backslash and high bytes in value", SetCookie("a", "\0,\\\xC3\xA9"sv).same_site(SameSite::unset),
       "Set-Cookie: a=%00%2C%5C%C3%A9; Secure; HttpOnly\r\n\r\n"},
      {"quotes and % in value", SetCookie("a", "\"50%\"").same_site(SameSite::unset),
       "Set-Cookie: a=%2250%25%22; Secure; HttpOnly\r\n\r\n"},
      {"empty name", SetCookie("", "1"), "invalid_cookie"},
      {"= in name", SetCookie("a=b", "1"), "invalid_cookie"},
      {"; in name", SetCookie("a;b", "1"), "invalid_cookie"},
      {"CR LF in name", SetCookie("a\r\nb", "1"), "invalid_cookie"},
      {"; in path", SetCookie("a", "1").path("/x;Secure"), "invalid_cookie"},
      {"CR LF in path", SetCookie("a", "1").path("/x\r\nX: y"), "invalid_cookie"},
      {"NUL in path", SetCookie("a", "1").path("/x\0"sv), "invalid_cookie"},
      {"space in domain", SetCookie("a", "1").domain("a b"), "invalid_cookie"},
      {"; in domain", SetCookie("a", "1").domain("a;b"), "invalid_cookie"},
      {"LF in domain", SetCookie("a", "1").domain("a\nb"), "invalid_cookie"},
      {"SameSite=None without Secure", SetCookie("a", "1").secure(false).same_site(SameSite::none), "invalid_cookie"},
      {"__Secure- without Secure", SetCookie("__Secure-a", "1").secure(false), "invalid_cookie"},
      {"__host- without Secure", SetCookie("__host-a", "1").path("/").secure(false), "invalid_cookie"},
      {"__Host- with a Domain", SetCookie("__Host-a", "1").path("/").domain("example.com"), "invalid_cookie"},
      {"__Host- with another Path", SetCookie("__Host-a", "1").path("/x"), "invalid_cookie"},
      {"__Host- without a Path", SetCookie("__Host-a", "1"), "invalid_cookie"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Response head;
    const result<void> got = head.set_cookie(c.cookie);
    EXPECT_EQ(got ? without_type(head.text()) : std::string(got.error().code_name()), c.want);
    if (!got) { EXPECT_EQ(got.error().detail(), c.cookie.name()); }
  }
}

// Secure where a browser sends the cookie back: a Response without a
// request, a request over HTTPS, a request to localhost. Over plain HTTP
// to another host a Secure cookie would be dropped, so it is left off, and
// what needs Secure is refused there unless the program asks for it.
TEST(ResponseSetCookie, SecureByDefaultWhereTheCookieComesBack) {
  const struct {
    std::string what;
    std::optional<Variables> request;
    bool secure;
  } cases[] = {
      {"no request", std::nullopt, true},
      {"HTTPS on", Variables{{"HTTPS", "on"}, {"SERVER_NAME", "example.org"}}, true},
      {"HTTPS off", Variables{{"HTTPS", "off"}, {"SERVER_NAME", "example.org"}}, false},
      {"localhost", Variables{{"SERVER_NAME", "localhost"}}, true},
      {"LocalHost", Variables{{"SERVER_NAME", "LocalHost"}}, true},
      {"app.localhost", Variables{{"SERVER_NAME", "app.localhost"}}, true},
      {"plain HTTP to example.org", Variables{{"SERVER_NAME", "example.org"}}, false},
      {"no host at all", Variables{{"REQUEST_METHOD", "GET"}}, false},
      {"localhost.example.org", Variables{{"SERVER_NAME", "localhost.example.org"}}, false},
      {"notlocalhost", Variables{{"SERVER_NAME", "notlocalhost"}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const cgiecho::web::Request request = request_of(c.request.value_or(Variables{}));
    const auto make = [&] { return c.request ? Response(request) : Response(); };
    const std::string secure = c.secure ? "; Secure" : "";
    const struct {
      SetCookie cookie;
      std::string want;  // the head, or "invalid_cookie"
    } rows[] = {
        {SetCookie("id", "1"), "Set-Cookie: id=1" + secure + "; HttpOnly; SameSite=Lax\r\n\r\n"},
        {SetCookie("id", "1").secure(true), "Set-Cookie: id=1; Secure; HttpOnly; SameSite=Lax\r\n\r\n"},
        {SetCookie("id", "1").secure(false), "Set-Cookie: id=1; HttpOnly; SameSite=Lax\r\n\r\n"},
        {SetCookie("__Host-id", "1").path("/"),
         c.secure ? "Set-Cookie: __Host-id=1; Path=/; Secure; HttpOnly; SameSite=Lax\r\n\r\n" : "invalid_cookie"},
        {SetCookie("__Secure-id", "1"),
         c.secure ? "Set-Cookie: __Secure-id=1; Secure; HttpOnly; SameSite=Lax\r\n\r\n" : "invalid_cookie"},
        {SetCookie("id", "1").same_site(SameSite::none),
         c.secure ? "Set-Cookie: id=1; Secure; HttpOnly; SameSite=None\r\n\r\n" : "invalid_cookie"},
        {SetCookie("id", "1").same_site(SameSite::none).secure(true),
         "Set-Cookie: id=1; Secure; HttpOnly; SameSite=None\r\n\r\n"},
    };
    for (const auto& r : rows) {
      SCOPED_TRACE(r.want);
      Response response = make();
      const result<void> got = response.set_cookie(r.cookie);
      EXPECT_EQ(got ? without_type(response.text()) : std::string(got.error().code_name()), r.want);
    }
  }
}

TEST(ResponseRedirect, AbsoluteNeedsASchemeLocalNeedsAPath) {
  const auto redirect = [](std::string uri, int status = 302) {
    return [=](Response& h) { return h.redirect(uri, status); };
  };
  const auto local = [](std::string path) { return [=](Response& h) { return h.local_redirect(path); }; };
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
      // A host to go to wherever there is an authority, and always for the
      // schemes a browser reads that way.
      {"user, IPv6 and port", redirect("http://u:p@[::1]:65535/x"), errc::ok},
      {"a name that ends at a backslash", redirect("https://h\\@evil.example/"), errc::ok},
      {"no host to a file", redirect("file:///etc/motd"), errc::ok},
      {"no authority, no host needed", redirect("mailto:a@b.example"), errc::ok},
      {"no host before a path", redirect("http:///x"), errc::invalid_redirect},
      {"no host before a port", redirect("http://:39375/rsvp"), errc::invalid_redirect},
      {"nothing after the slashes", redirect("https://"), errc::invalid_redirect},
      {"a user and no host", redirect("http://@/"), errc::invalid_redirect},
      {"empty brackets", redirect("http://[]:80/"), errc::invalid_redirect},
      {"no host in another scheme", redirect("ssh://:22"), errc::invalid_redirect},
      {"a port that is no number", redirect("http://h:8o/"), errc::invalid_redirect},
      {"a port past 65535", redirect("http://h:65536/"), errc::invalid_redirect},
      {"a path where a browser wants a host", redirect("http:x"), errc::invalid_redirect},
      {"backslashes for slashes", redirect("http:\\\\evil.example/"), errc::invalid_redirect},
      {"an empty host before a backslash", redirect("http://\\evil.example/"), errc::invalid_redirect},
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
    Response head;
    EXPECT_EQ(code(head.local_redirect(p.path)), p.ok ? errc::ok : errc::invalid_redirect);
    EXPECT_EQ(head.text(), p.ok ? "Location: " + p.path + "\r\n\r\n" : kType + "\r\n");
  }

  Response head;
  ASSERT_EQ(code(head.status(201)), errc::ok);
  ASSERT_EQ(code(head.redirect("https://x/")), errc::ok);
  EXPECT_EQ(head.text(), "Status: 302 Found\r\n" + kType + "Location: https://x/\r\n\r\n");
  EXPECT_EQ(code(head.redirect("https://y/")), errc::invalid_redirect);  // one Location
}

TEST(ResponseRedirect, NothingElseBesideALocalRedirect) {
  cgiecho::fake::reset();
  const struct {
    std::string what;
    std::function<result<void>(Response&)> call;
    bool allowed_before;  // fine on its own, so it must make a later local redirect fail
  } others[] = {
      {"status", [](Response& h) { return h.status(200); }, true},
      {"content type", [](Response& h) { return h.content_type("text/plain"); }, true},
      {"header", [](Response& h) { return h.header("X", "1"); }, true},
      {"cookie", [](Response& h) { return h.set_cookie(SetCookie("a", "1")); }, true},
      {"redirect", [](Response& h) { return h.redirect("https://x/"); }, true},
      // A held body would follow the Location out.
      {"write a body", [](Response& h) { return h.write("body"); }, true},
      {"local redirect", [](Response& h) { return h.local_redirect("/y"); }, false},
      {"send a body", [](Response& h) { return h.send("body"); }, false},
  };
  for (const auto& o : others) {
    SCOPED_TRACE(o.what);
    Response head;
    ASSERT_EQ(code(head.local_redirect("/x")), errc::ok);
    EXPECT_EQ(code(o.call(head)), errc::invalid_redirect);
    EXPECT_EQ(head.text(), "Location: /x\r\n\r\n");
    if (!o.allowed_before) continue;
    Response first;
    ASSERT_EQ(code(o.call(first)), errc::ok);
    const std::string before(first.text());
    EXPECT_EQ(code(first.local_redirect("/x")), errc::invalid_redirect);
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
    std::function<void(Response&)> build;
    std::string body;
    std::vector<std::string> writes;
  } cases[] = {
      {"nothing set, a body", [](Response&) {}, "<p>hi</p>", {std::string(kHtml) + "<p>hi</p>"}},
      {"nothing set, no body", [](Response&) {}, "", {std::string(kHtml)}},
      // The head is what text() showed, body or not.
      {"status only, no body", [](Response& h) { (void)h.status(204); }, "",
       {"Status: 204 No Content\r\n" + kType + "\r\n"}},
      {"status and a body", [](Response& h) { (void)h.status(404); }, "gone",
       {"Status: 404 Not Found\r\nContent-Type: text/html; charset=UTF-8\r\n\r\ngone"}},
      {"own type", [](Response& h) { (void)h.content_type("text/plain"); }, "x",
       {"Content-Type: text/plain; charset=UTF-8\r\n\r\nx"}},
      {"redirect without a body", [](Response& h) { (void)h.redirect("https://x/", 303); }, "",
       {"Status: 303 See Other\r\n" + kType + "Location: https://x/\r\n\r\n"}},
      {"local redirect", [](Response& h) { (void)h.local_redirect("/x"); }, "", {"Location: /x\r\n\r\n"}},
      {"a NUL in the body", [](Response& h) { (void)h.content_type("application/octet-stream", ""); }, "a\0b"s,
       {"Content-Type: application/octet-stream\r\n\r\na\0b"s}},
      {"1 MiB body: one write", [](Response& h) { (void)h.content_type("text/plain", ""); },
       std::string(1 << 20, 'x'), {"Content-Type: text/plain\r\n\r\n" + std::string(1 << 20, 'x')}},
      {"1 MiB + 1: two writes", [](Response& h) { (void)h.content_type("text/plain", ""); },
       std::string((1 << 20) + 1, 'x'), {"Content-Type: text/plain\r\n\r\n", std::string((1 << 20) + 1, 'x')}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    Response head;
    c.build(head);
    EXPECT_EQ(code(head.send(c.body)), errc::ok);
    EXPECT_EQ(process().writes, c.writes);
  }
}

// The head goes out once; the body goes on through send() as well as
// write(), and what write() holds goes out in order before it.
TEST_F(ResponseSend, OnlyOnceThenTheBodyGoesOn) {
  {
    Response head;
    ASSERT_EQ(code(head.write("first ")), errc::ok);
    ASSERT_EQ(code(head.flush()), errc::ok);
    EXPECT_EQ(code(head.status(200)), errc::head_already_sent);
    EXPECT_EQ(code(head.content_type("text/plain")), errc::head_already_sent);
    EXPECT_EQ(code(head.header("X", "1")), errc::head_already_sent);
    EXPECT_EQ(code(head.set_cookie(SetCookie("a", "1"))), errc::head_already_sent);
    EXPECT_EQ(code(head.redirect("https://x/")), errc::head_already_sent);
    EXPECT_EQ(code(head.local_redirect("/x")), errc::head_already_sent);
    EXPECT_EQ(code(head.send("again")), errc::ok);  // a second send adds to the body
    EXPECT_EQ(code(head.write("second")), errc::ok);
  }
  EXPECT_EQ(process().writes, (std::vector<std::string>{std::string(kHtml) + "first ", "again", "second"}));
}

// write() holds up to 64 KiB and sends it with the head in one write;
// flush(), send() and the destructor write out what it holds.
TEST_F(ResponseSend, WriteHoldsUpTo64KiB) {
  const std::string almost(65535, 'a');
  const std::string piece(70000, 'p');
  const std::string big((1 << 20) + 1, 'b');
  const struct {
    std::string what;
    std::function<std::vector<errc>(Response&)> steps;
    std::vector<std::string> before_end, after_end;  // the writes while the Response lives, and after
  } cases[] = {
      {"small writes held until flush",
       [](Response& r) { return std::vector<errc>{code(r.write("a")), code(r.write("")), code(r.write("b"))}; },
       {}, {std::string(kHtml) + "ab"}},
      {"flush writes the head with what is held",
       [](Response& r) { return std::vector<errc>{code(r.write("a")), code(r.write("b")), code(r.flush())}; },
       {std::string(kHtml) + "ab"}, {std::string(kHtml) + "ab"}},
      {"flush with nothing held writes the head",
       [](Response& r) { return std::vector<errc>{code(r.flush())}; }, {std::string(kHtml)}, {std::string(kHtml)}},
      {"an empty write alone: the head at the end", [](Response& r) { return std::vector<errc>{code(r.write(""))}; },
       {}, {std::string(kHtml)}},
      {"one byte short of 64 KiB is held", [&](Response& r) { return std::vector<errc>{code(r.write(almost))}; },
       {}, {std::string(kHtml) + almost}},
      {"the byte that reaches 64 KiB sends",
       [&](Response& r) { return std::vector<errc>{code(r.write(almost)), code(r.write("z"))}; },
       {std::string(kHtml) + almost + "z"}, {std::string(kHtml) + almost + "z"}},
      {"one write past 64 KiB goes at once", [&](Response& r) { return std::vector<errc>{code(r.write(piece))}; },
       {std::string(kHtml) + piece}, {std::string(kHtml) + piece}},
      {"past 1 MiB: the head and what is held, then the body",
       [&](Response& r) { return std::vector<errc>{code(r.write("a")), code(r.write(big))}; },
       {std::string(kHtml) + "a", big}, {std::string(kHtml) + "a", big}},
      {"send after write: one write",
       [](Response& r) { return std::vector<errc>{code(r.write("a")), code(r.send("b"))}; },
       {std::string(kHtml) + "ab"}, {std::string(kHtml) + "ab"}},
      {"flush after send writes nothing",
       [](Response& r) { return std::vector<errc>{code(r.send("a")), code(r.flush())}; },
       {std::string(kHtml) + "a"}, {std::string(kHtml) + "a"}},
      {"write after send is held until flush",
       [](Response& r) {
         return std::vector<errc>{code(r.send("a")), code(r.write("b")), code(r.write("c")), code(r.flush()),
                                  code(r.write("d"))};
       },
       {std::string(kHtml) + "a", "bc"}, {std::string(kHtml) + "a", "bc", "d"}},
      {"send without write: the destructor writes nothing more",
       [](Response& r) { return std::vector<errc>{code(r.send())}; }, {std::string(kHtml)}, {std::string(kHtml)}},
      {"a head alone is not written at the end", [](Response& r) { return std::vector<errc>{code(r.status(204))}; },
       {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    {
      Response response;
      for (const errc e : c.steps(response)) EXPECT_EQ(e, errc::ok);
      EXPECT_EQ(process().writes, c.before_end);
    }
    EXPECT_EQ(process().writes, c.after_end);
  }
}

TEST_F(ResponseSend, AMovedFromResponseWritesNothing) {
  {
    Response from;
    ASSERT_EQ(code(from.write("held")), errc::ok);
    Response to(std::move(from));
    Response assigned;
    assigned = std::move(to);
    EXPECT_TRUE(process().writes.empty());
  }
  EXPECT_EQ(process().writes, (std::vector<std::string>{std::string(kHtml) + "held"}));
}

// A HEAD answer is the GET answer's head, byte for byte, without a body,
// however the body is handed over; every other method gets the body.
TEST_F(ResponseSend, HeadGetsTheHeaderBlockAlone) {
  const std::string big((1 << 20) + 1, 'b');
  const std::string piece(70000, 'p');
  const struct {
    std::string what;
    std::function<void(Response&)> build;
    std::function<std::vector<errc>(Response&)> answer;
    std::vector<std::string> get, head;  // the writes once the Response is gone
  } cases[] = {
      {"send with a body", [](Response& h) { (void)h.status(200); },
       [](Response& h) { return std::vector<errc>{code(h.send("<p>page</p>"))}; },
       {"Status: 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n<p>page</p>"},
       {"Status: 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n"}},
      {"send without a body", [](Response& h) { (void)h.status(204); },
       [](Response& h) { return std::vector<errc>{code(h.send())}; }, {"Status: 204 No Content\r\n" + kType + "\r\n"},
       {"Status: 204 No Content\r\n" + kType + "\r\n"}},
      {"send, then write", [](Response& h) { (void)h.content_type("text/plain", ""); },
       [](Response& h) { return std::vector<errc>{code(h.send("a")), code(h.write("b")), code(h.write(""))}; },
       {"Content-Type: text/plain\r\n\r\na", "b"}, {"Content-Type: text/plain\r\n\r\n"}},
      {"write, then flush", [](Response& h) { (void)h.header("X-A", "1"); },
       [](Response& h) { return std::vector<errc>{code(h.write("a")), code(h.write("b")), code(h.flush())}; },
       {"Content-Type: text/html; charset=UTF-8\r\nX-A: 1\r\n\r\nab"},
       {"Content-Type: text/html; charset=UTF-8\r\nX-A: 1\r\n\r\n"}},
      {"write past 64 KiB", [](Response& h) { (void)h.content_type("text/plain", ""); },
       [&piece](Response& h) { return std::vector<errc>{code(h.write(piece)), code(h.write("b"))}; },
       {"Content-Type: text/plain\r\n\r\n" + piece, "b"}, {"Content-Type: text/plain\r\n\r\n"}},
      {"write, then the destructor", [](Response& h) { (void)h.status(200); },
       [](Response& h) { return std::vector<errc>{code(h.write("a"))}; },
       {"Status: 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n\r\na"},
       {"Status: 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n"}},
      {"a body over 1 MiB", [](Response& h) { (void)h.content_type("text/plain", ""); },
       [&big](Response& h) { return std::vector<errc>{code(h.send(big))}; },
       {"Content-Type: text/plain\r\n\r\n", big}, {"Content-Type: text/plain\r\n\r\n"}},
      {"redirect", [](Response& h) { (void)h.redirect("https://x/", 303); },
       [](Response& h) { return std::vector<errc>{code(h.send())}; },
       {"Status: 303 See Other\r\n" + kType + "Location: https://x/\r\n\r\n"},
       {"Status: 303 See Other\r\n" + kType + "Location: https://x/\r\n\r\n"}},
      {"a body after a local redirect is refused alike", [](Response& h) { (void)h.local_redirect("/x"); },
       [](Response& h) {
         return std::vector<errc>{code(h.send("no")), code(h.write("no")), code(h.send())};
       },
       {"Location: /x\r\n\r\n"}, {"Location: /x\r\n\r\n"}},
  };
  for (const auto& c : cases) {
    for (const std::string method : {"GET", "HEAD", "POST", "head", ""}) {
      SCOPED_TRACE(c.what + " " + method);
      cgiecho::fake::reset();
      const cgiecho::web::Request request = request_of({{"REQUEST_METHOD", method}});
      std::vector<errc> want;
      {
        Response plain;  // the default response always sends the body
        c.build(plain);
        want = c.answer(plain);
      }
      EXPECT_EQ(process().writes, c.get);
      cgiecho::fake::reset();
      {
        Response head(request);
        c.build(head);
        EXPECT_EQ(c.answer(head), want);
      }
      EXPECT_EQ(process().writes, method == "HEAD" ? c.head : c.get);
    }
  }
}

TEST_F(ResponseSend, AFailedWriteIsReportedNotOk) {
  const std::string big((1 << 20) + 1, 'b');
  const std::string piece(70000, 'p');
  const struct {
    std::string what;
    std::function<std::vector<errc>(Response&)> answer;
    std::vector<errc> want;
  } cases[] = {
      {"send", [](Response& h) { return std::vector<errc>{code(h.send("x"))}; }, {errc::write_failed}},
      {"send without a body", [](Response& h) { return std::vector<errc>{code(h.send())}; }, {errc::write_failed}},
      {"send over 1 MiB", [&big](Response& h) { return std::vector<errc>{code(h.send(big))}; }, {errc::write_failed}},
      // The head went out as far as it could: it is not sent twice.
      {"send, then a status", [](Response& h) { return std::vector<errc>{code(h.send("x")), code(h.status(200))}; },
       {errc::write_failed, errc::head_already_sent}},
      {"send twice", [](Response& h) { return std::vector<errc>{code(h.send("x")), code(h.send("x"))}; },
       {errc::write_failed, errc::write_failed}},
      // What write() holds fails when it goes out.
      {"write, then flush", [](Response& h) { return std::vector<errc>{code(h.write("x")), code(h.flush())}; },
       {errc::ok, errc::write_failed}},
      {"write past 64 KiB", [&piece](Response& h) { return std::vector<errc>{code(h.write(piece))}; },
       {errc::write_failed}},
      {"write after send",
       [](Response& h) {
         return std::vector<errc>{code(h.send()), code(h.write("x")), code(h.write("")), code(h.flush())};
       },
       {errc::write_failed, errc::ok, errc::ok, errc::write_failed}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cgiecho::fake::reset();
    process().stdout_fails = true;
    Response head;
    EXPECT_EQ(c.answer(head), c.want);
  }
  // Only the body's write fails: the head went, the body did not.
  cgiecho::fake::reset();
  Response head;
  ASSERT_EQ(code(head.send("x")), errc::ok);
  process().stdout_fails = true;
  EXPECT_EQ(code(head.send("y")), errc::write_failed);
  EXPECT_EQ(code(head.write("y")), errc::ok);
  EXPECT_EQ(code(head.flush()), errc::write_failed);
  process().stdout_fails = false;
  EXPECT_EQ(code(head.write("z")), errc::ok);
  EXPECT_EQ(code(head.flush()), errc::ok);
  EXPECT_EQ(process().writes, (std::vector<std::string>{std::string(kHtml) + "x", "z"}));
}

// An error as people and programs read it: the one-line message, and the
// std::error_code side.
TEST(WebError, MessageAndErrorCode) {
  namespace web = cgiecho::web;
  const std::error_code denied = std::make_error_code(std::errc::permission_denied);
  const struct {
    std::string what;
    web::error e;
    std::string message;
  } cases[] = {
      {"no detail", errc::file_too_large, "A file part is larger than the limit."},
      {"a header refused", web::error(errc::invalid_header, "Set-Cookie"),
       "The program gave a header that would break the response (Set-Cookie)."},
      {"a body's rule and offset", web::error(errc::malformed_multipart, "a part's header line has no colon", 112u),
       "The multipart body breaks the multipart rules (a part's header line has no colon, at byte 112)."},
      {"an offset alone", web::error(errc::malformed_multipart, "", 0u),
       "The multipart body breaks the multipart rules (at byte 0)."},
      {"a field", web::error(errc::field_not_a_number, "age"), "age is not a number"},
      {"a field with the program's sentence", web::error(errc::field_invalid, "email").with_note("needs an @"),
       "email: needs an @"},
      // A refused name is the program's bytes: the line stays one line.
      {"control bytes in a detail", web::error(errc::invalid_cookie, "a\r\nb\0\x7F\xC3\xA9"s),
       "The program gave a cookie that would break the response (a\\x0d\\x0ab\\x00\\x7f\xC3\xA9)."},
      {"control bytes in a field's name", web::error(errc::field_missing, "a\nb"),
       "a\\x0ab is required"},
      {"the system's reason", web::error(errc::keep_failed, denied),
       "An uploaded file could not be kept. " + denied.message()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.e.message(), c.message);
  }

  std::error_code ec = errc::file_too_large;
  EXPECT_EQ(ec, errc::file_too_large);
  EXPECT_NE(ec, errc::too_many_files);
  EXPECT_STREQ(ec.category().name(), "cgiecho.web");
  EXPECT_EQ(ec.message(), "A file part is larger than the limit.");
  EXPECT_EQ(web::error(errc::file_too_large).error_code(), ec);
  EXPECT_EQ(std::error_code(errc::out_of_memory), std::errc::not_enough_memory);
  EXPECT_EQ(std::error_code(errc::write_failed), std::errc::io_error);
  EXPECT_NE(std::error_code(errc::invalid_header), std::errc::io_error);
  EXPECT_EQ(web::make_error_code(static_cast<errc>(999)).message(), "An unknown error occurred.");
  EXPECT_EQ(web::code_name(errc::write_failed), "write_failed");
  EXPECT_EQ(web::http_status(errc::write_failed), 500);
}

std::string hex_escape(unsigned char b) {
  char buffer[4];
  std::snprintf(buffer, sizeof buffer, "%%%02X", b);
  return buffer;
}

// Each byte alone: kept when the encoding allows it, else %XX in upper
// case; either way it reads back through cookie_decode.
TEST(PercentEncoding, EveryByteAlone) {
  namespace web = cgiecho::web;
  // cookie-octet: 0x21, 0x23-0x2B, 0x2D-0x3A, 0x3C-0x5B, 0x5D-0x7E; "%" (0x25) is encoded too.
  const auto cookie_octet = [](unsigned b) {
    return b == 0x21 || (b >= 0x23 && b <= 0x2B && b != 0x25) || (b >= 0x2D && b <= 0x3A) ||
           (b >= 0x3C && b <= 0x5B) || (b >= 0x5D && b <= 0x7E);
  };
  const std::string unreserved = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  for (unsigned b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(web::cookie_encode(one), cookie_octet(b) ? one : hex_escape(static_cast<unsigned char>(b)));
    EXPECT_EQ(web::url_encode(one),
              unreserved.find(static_cast<char>(b)) != std::string::npos ? one : hex_escape(static_cast<unsigned char>(b)));
    EXPECT_EQ(web::cookie_decode(web::cookie_encode(one)), one);
    EXPECT_EQ(web::cookie_decode(web::url_encode(one)), one);
  }
  EXPECT_EQ(web::url_encode("a b&c=d/\xC3\xA9+"), "a%20b%26c%3Dd%2F%C3%A9%2B");
  EXPECT_EQ(web::url_encode(unreserved), unreserved);
}

// The promised inverse over every two-byte string, NUL included.
TEST(PercentEncoding, CookieValuesComeBackWhole) {
  namespace web = cgiecho::web;
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      if (web::cookie_decode(web::cookie_encode(two)) != two) {
        ADD_FAILURE() << testing::PrintToString(two) << " came back as "
                      << testing::PrintToString(web::cookie_decode(web::cookie_encode(two)));
        return;
      }
    }
  }
}

TEST(PercentEncoding, CookieDecodeKeepsWhatIsNoEscape) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", ""}, {"%41", "A"}, {"%4a%4A", "JJ"}, {"%00", "\0"s}, {"%FF", "\xFF"}, {"a\0b"s, "a\0b"s},
      {"%zz", "%zz"}, {"%", "%"}, {"50%", "50%"}, {"%4", "%4"}, {"%g1", "%g1"}, {"%1g", "%1g"},
      {"%41%", "A%"}, {"%%41", "%A"}, {"%4%41", "%4A"}, {"%2541", "%41"}, {"+%20", "+ "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(cgiecho::web::cookie_decode(c.in), c.want);
  }
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
    EXPECT_TRUE(cgiecho::web::html_escape(c.text, out));
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
