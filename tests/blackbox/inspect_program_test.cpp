// The built inspector from the outside, as a web server starts it: an
// environment of only the request's variables, a body on a pipe, and the
// whole answer (status, content type, JSON) compared byte for byte. The
// same tables run against the Linux program and the x64 and 32-bit Windows
// programs under Wine.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <string>
#include <vector>

#include <cgiecho/web/errors.h>

#include "blackbox/program_platforms.h"
#include "blackbox/program_run.h"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using cgiecho::blackbox::expect_runnable;
using cgiecho::blackbox::Platform;
using cgiecho::blackbox::platform_plan;
using cgiecho::blackbox::run_program;
using cgiecho::blackbox::RunPlan;
using cgiecho::blackbox::RunResult;
using cgiecho::test::same_bytes;
using cgiecho::blackbox::StdoutKind;
using cgiecho::blackbox::WindowsBuild;

const WindowsBuild kWindows64{CGIECHO_WINDOWS_INSPECT, CGIECHO_WINE, CGIECHO_WINE_PREFIX, "win64"};
const WindowsBuild kWindows32{CGIECHO_WINDOWS32_INSPECT, CGIECHO_WINE32, CGIECHO_WINE32_PREFIX, "win32"};

// Digests come from libcrypto here, whatever the program under test uses.
std::string sha(std::string_view bytes) {
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), d);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : d) hex += {kHex[b >> 4], kHex[b & 15]};
  return hex;
}

std::string head(int status) {
  const char* reason = status == 200   ? "OK"
                       : status == 400 ? "Bad Request"
                       : status == 413 ? "Content Too Large"
                       : status == 414 ? "URI Too Long"
                       : status == 431 ? "Request Header Fields Too Large"
                                       : "Internal Server Error";
  return "Status: " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
         "X-Content-Type-Options: nosniff\r\n\r\n";
}

// What a row expects: 200 and the report's members before "body" (whose
// size and digest the test works out from the bytes the program should
// read), or an error status and code.
struct Want {
  int status;
  std::string text;
};
Want ok(std::string members) { return {200, std::move(members)}; }
Want fail(int status, std::string code) { return {status, std::move(code)}; }

// The report of a request without fields, cookies, files or headers.
std::string bare(const std::string& method = "GET", const std::string& query = "") {
  return R"("method":")" + method + R"(","query":")" + query +
         R"(","args":[],"form":[],"cookies":[],"files":[],"headers":[])";
}

std::string file_json(const std::string& name, const std::string& filename, const std::string& type,
                      const std::string& data) {
  return R"({"name":")" + name + R"(","filename":")" + filename + R"(","content_type":)" + type +
         R"(,"size":)" + std::to_string(data.size()) + R"(,"sha256":")" + sha(data) + R"("})";
}

// The error's message is the layer's; its code and status are the contract.
std::string error_message(int status, const std::string& code) {
  using cgiecho::web::errc;
  for (int i = 0; i <= static_cast<int>(errc::keep_failed); ++i) {
    const auto e = static_cast<errc>(i);
    if (cgiecho::web::code_name(e) == code && cgiecho::web::http_status(e) == status)
      return std::string(cgiecho::web::message(e));
  }
  ADD_FAILURE() << "no error " << code << " with status " << status;
  return {};
}

// A multipart/form-data body with the boundary XyZ.
const std::string kMultipart = "CONTENT_TYPE=multipart/form-data; boundary=XyZ";
std::string part(const std::string& params, const std::string& data, const std::string& headers = "") {
  return "--XyZ\r\nContent-Disposition: form-data; " + params + "\r\n" + headers + "\r\n" + data + "\r\n";
}
std::string multipart(const std::vector<std::string>& parts) {
  std::string body;
  for (const auto& p : parts) body += p;
  return body + "--XyZ--\r\n";
}
std::string length_of(const std::string& body) { return "CONTENT_LENGTH=" + std::to_string(body.size()); }

struct Row {
  std::string name;
  std::vector<std::string> env;
  std::string in;  // on standard input, then its end
  Want want;
};

class InspectProgram : public testing::TestWithParam<Platform> {
 protected:
  void SetUp() override {
    if (GetParam() != Platform::kLinux) expect_runnable(windows());
  }
  const WindowsBuild& windows() const { return GetParam() == Platform::kWindows32 ? kWindows32 : kWindows64; }
  RunPlan plan(std::vector<std::string> env) const {
    return platform_plan(GetParam(), CGIECHO_INSPECT, windows(), std::move(env));
  }

  // The whole answer a row expects.
  static std::string expected(const Row& row) {
    std::string method, length;
    for (const auto& v : row.env) {
      if (v.rfind("REQUEST_METHOD=", 0) == 0) method = v.substr(15);
      if (v.rfind("CONTENT_LENGTH=", 0) == 0) length = v.substr(15);
    }
    std::string out = head(row.want.status);
    if (method == "HEAD") return out;
    if (row.want.status != 200)
      return out + R"({"error":")" + row.want.text + R"(","message":")" +
             error_message(row.want.status, row.want.text) + "\"}\n";
    const std::string body = row.in.substr(0, length.empty() ? 0 : std::stoull(length));
    return out + "{" + row.want.text + R"(,"body":{"size":)" + std::to_string(body.size()) + R"(,"sha256":")" +
           sha(body) + "\"}}\n";
  }

  void check(const Row& row, RunPlan s) const {
    const RunResult r = run_program(s);
    ASSERT_EQ(r.failure, "");
    EXPECT_FALSE(r.timed_out) << "no answer within the deadline";
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(same_bytes(r.out, expected(row)));
    // A refusal is one line on standard error naming its status and code;
    // a report, nothing.
    const std::string refused = row.want.status == 200 ? "" : std::to_string(row.want.status) + " " + row.want.text + ")\n";
    if (refused.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.err.rfind("cgiecho-inspect: refused a request to ", 0), 0u) << r.err;
      EXPECT_TRUE(r.err.size() > refused.size() && r.err.compare(r.err.size() - refused.size(), refused.size(), refused) == 0 &&
                  r.err.find('\n') == r.err.size() - 1)
          << r.err;
      // Printable ASCII before the line break, whatever bytes the request
      // held: nothing in it drives the terminal that shows the log.
      EXPECT_TRUE(std::all_of(r.err.begin(), r.err.end() - 1, [](char c) { return c >= 0x20 && c < 0x7F; })) << r.err;
    }
  }

  void run_rows(const std::vector<Row>& rows) const {
    for (const auto& row : rows) {
      SCOPED_TRACE(row.name);
      RunPlan s = plan(row.env);
      s.pieces = {row.in};
      check(row, s);
    }
  }
};

TEST_P(InspectProgram, ReportsMethodQueryFieldsAndCookies) {
  const std::string form = multipart({part(R"(name="a")", "1"), part(R"(name="b")", "x+y%41&c=d"),
                                      part(R"(name="up"; filename="r.txt")", "hello", "Content-Type: text/plain\r\n"),
                                      part(R"(name="raw"; filename="")", "a\0b"s),
                                      part(R"(name="")", "")});
  const std::vector<Row> rows = {
      {"GET, no query", {"REQUEST_METHOD=GET"}, "", ok(bare())},
      {"no REQUEST_METHOD", {"QUERY_STRING=a=1"}, "", ok(R"("method":"","query":"a=1","args":[["a","1"]],)"
                                                          R"("form":[],"cookies":[],"files":[],"headers":[])")},
      {"method kept as sent", {"REQUEST_METHOD=get"}, "", ok(bare("get"))},
      {"query fields decoded, repeated and empty names kept",
       {"REQUEST_METHOD=GET", "QUERY_STRING=a=1&b=x+y%41%zz&a&&=v&c=%3D=&d;e=2"}, "",
       ok(R"("method":"GET","query":"a=1&b=x+y%41%zz&a&&=v&c=%3D=&d;e=2",)"
          R"("args":[["a","1"],["b","x yA%zz"],["a",""],["","v"],["c","=="],["d;e","2"]],)"
          R"("form":[],"cookies":[],"files":[],"headers":[])")},
      {"url-encoded body", {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=13", "QUERY_STRING=q=1"},
       "x=%3C1%3E&y=+", ok(R"("method":"POST","query":"q=1","args":[["q","1"]],"form":[["x","<1>"],["y"," "]],)"
                           R"("cookies":[],"files":[],"headers":[["Content-Length","13"],)"
                           R"(["Content-Type","application/x-www-form-urlencoded"]])")},
      {"media type without case, parameters ignored",
       {"REQUEST_METHOD=PUT", "CONTENT_TYPE=Application/X-WWW-Form-URLencoded ; charset=utf-8", "CONTENT_LENGTH=3"},
       "a=b", ok(R"("method":"PUT","query":"","args":[],"form":[["a","b"]],"cookies":[],"files":[],)"
                 R"("headers":[["Content-Length","3"],["Content-Type","Application/X-WWW-Form-URLencoded ; charset=utf-8"]])")},
      {"other media types are only counted",
       {"REQUEST_METHOD=POST", "CONTENT_TYPE=text/plain", "CONTENT_LENGTH=3"}, "a=b",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],)"
          R"("headers":[["Content-Length","3"],["Content-Type","text/plain"]])")},
      {"a body without a content type is only counted", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=3"}, "a=b",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","3"]])")},
      {"a GET's body is read too", {"REQUEST_METHOD=GET", "CONTENT_LENGTH=2"}, "hi",
       ok(R"("method":"GET","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","2"]])")},
      {"multipart: text parts as they are, files hashed",
       {"REQUEST_METHOD=POST", "CONTENT_TYPE=Multipart/Form-Data; BOUNDARY=XyZ", length_of(form)}, form,
       ok(R"("method":"POST","query":"","args":[],"form":[["a","1"],["b","x+y%41&c=d"],["",""]],"cookies":[],)"
          R"("files":[)" + file_json("up", "r.txt", R"("text/plain")", "hello") + "," +
          file_json("raw", "", "null", "a\0b"s) +
          R"(],"headers":[["Content-Length",")" + std::to_string(form.size()) +
          R"("],["Content-Type","Multipart/Form-Data; BOUNDARY=XyZ"]])")},
      {"multipart/mixed is only counted", {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/mixed; boundary=XyZ", length_of(form)},
       form, ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],)"
                R"("headers":[["Content-Length",")" + std::to_string(form.size()) +
                R"("],["Content-Type","multipart/mixed; boundary=XyZ"]])")},
      {"cookies trimmed, unquoted, odd pieces skipped, duplicates kept",
       {"REQUEST_METHOD=GET", "HTTP_COOKIE=a=1; b=\"q w\";c; =x;\td = 2 ;a=%41;e="}, "",
       ok(R"("method":"GET","query":"","args":[],"form":[],)"
          R"("cookies":[["a","1"],["b","q w"],["d","2"],["a","%41"],["e",""]],"files":[],)"
          R"("headers":[["Cookie","a=1; b=\"q w\";c; =x;\td = 2 ;a=%41;e="]])")},
  };
  run_rows(rows);
}

TEST_P(InspectProgram, TextThatIsNotUtf8ComesAsBase64) {
  const std::string body = "n\xFF=\0v\xC3\xA9&\xED\xA0\x80=\xF4\x90\x80\x80"s;
  const std::string names =
      multipart({part("name=\"f\xFF\"; filename=\"a\0b\xC3\xA9\""s, "", "Content-Type: \xC0\x80/x\r\n")});
  const std::vector<Row> rows = {
      {"NUL is a character", {"REQUEST_METHOD=GET", "QUERY_STRING=n%00=%00v"}, "",
       ok(R"("method":"GET","query":"n%00=%00v","args":[["n\u0000","\u0000v"]],)"
          R"("form":[],"cookies":[],"files":[],"headers":[])")},
      {"invalid bytes, overlong forms and surrogates",
       {"REQUEST_METHOD=GET", "QUERY_STRING=%FF=%C0%80&%ED%A0%80=%E0%9F%BF&ok=%F0%9F%98%80%7F"}, "",
       ok(R"("method":"GET","query":"%FF=%C0%80&%ED%A0%80=%E0%9F%BF&ok=%F0%9F%98%80%7F",)"
          R"("args":[[{"base64":"/w=="},{"base64":"wIA="}],[{"base64":"7aCA"},{"base64":"4J+/"}],)"
          "[\"ok\",\"\xF0\x9F\x98\x80\x7F\"]],"
          R"("form":[],"cookies":[],"files":[],"headers":[])")},
      {"escapes", {"REQUEST_METHOD=GET", "QUERY_STRING=q=%22%5C%2F%08%09%0A%0C%0D%01%1F"}, "",
       ok(R"("method":"GET","query":"q=%22%5C%2F%08%09%0A%0C%0D%01%1F",)"
          R"("args":[["q","\"\\/\b\t\n\f\r\u0001\u001f"]],"form":[],"cookies":[],"files":[],"headers":[])")},
      {"raw body bytes", {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded", length_of(body)}, body,
       ok(R"("method":"POST","query":"","args":[],)"
          R"("form":[[{"base64":"bv8="},"\u0000v)" "\xC3\xA9" R"("],[{"base64":"7aCA"},{"base64":"9JCAgA=="}]],)"
          R"("cookies":[],"files":[],"headers":[["Content-Length","16"],)"
          R"(["Content-Type","application/x-www-form-urlencoded"]])")},
      {"file names and part content types", {"REQUEST_METHOD=POST", kMultipart, length_of(names)}, names,
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[)"
          "{\"name\":{\"base64\":\"Zv8=\"},\"filename\":\"a\\u0000b\xC3\xA9\",\"content_type\":{\"base64\":\"wIAveA==\"},"
          R"("size":0,"sha256":")" + sha("") + R"("}],"headers":[["Content-Length",")" + std::to_string(names.size()) +
          R"("],["Content-Type","multipart/form-data; boundary=XyZ"]])")},
  };
  run_rows(rows);
}

TEST_P(InspectProgram, HeadersFromHttpVariablesSortedByName) {
  const std::vector<Row> rows = {
      {"words capitalised, sorted by bytes, content headers from CGI's variables",
       {"REQUEST_METHOD=POST", "HTTP_USER_AGENT=curl/8", "HTTP_X_FORWARDED_FOR=10.0.0.1", "HTTP_HOST=example.org",
        "HTTP_ACCEPT_LANGUAGE=de", "HTTP_ACCEPT=*/*", "HTTP_X_A=1", "HTTP_XA=2", "CONTENT_TYPE=text/plain",
        "CONTENT_LENGTH=0", "HTTP_CONTENT_TYPE=a/b", "HTTP_CONTENT_LENGTH=9", "REMOTE_ADDR=127.0.0.1",
        "SERVER_SOFTWARE=x"},
       "",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],)"
          R"("headers":[["Accept","*/*"],["Accept-Language","de"],["Content-Length","0"],)"
          R"(["Content-Type","text/plain"],["Host","example.org"],["User-Agent","curl/8"],)"
          R"(["X-A","1"],["X-Forwarded-For","10.0.0.1"],["Xa","2"]])")},
      {"empty content headers are not headers, an empty HTTP_ one is",
       {"REQUEST_METHOD=GET", "CONTENT_TYPE=", "CONTENT_LENGTH=", "HTTP_DNT="}, "",
       ok(R"("method":"GET","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Dnt",""]])")},
  };
  run_rows(rows);
}

TEST_P(InspectProgram, ContentLengthDecidesTheBody) {
  const std::vector<Row> rows = {
      {"absent: no body", {"REQUEST_METHOD=POST"}, "unread", ok(bare("POST"))},
      {"empty: no body", {"REQUEST_METHOD=GET", "CONTENT_LENGTH="}, "unread", ok(bare())},
      {"0", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=0"}, "unread",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","0"]])")},
      {"leading zeros", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=007"}, "seven b",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","007"]])")},
      {"bytes past the length stay unread", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=3"}, "abcdef",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","3"]])")},
      {"fewer bytes than announced", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=10"}, "abc", fail(400, "body_truncated")},
      {"fewer bytes of a form", {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded", "CONTENT_LENGTH=10"},
       "a=1", fail(400, "body_truncated")},
      {"fewer bytes of a multipart form", {"REQUEST_METHOD=POST", kMultipart, "CONTENT_LENGTH=100"},
       multipart({part(R"(name="a")", "1")}), fail(400, "body_truncated")},
      {"no bytes at all", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=1"}, "", fail(400, "body_truncated")},
      {"not a number", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=abc"}, "abc", fail(400, "bad_content_length")},
      {"negative", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=-1"}, "a", fail(400, "bad_content_length")},
      {"plus sign", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=+1"}, "a", fail(400, "bad_content_length")},
      {"leading blank", {"REQUEST_METHOD=POST", "CONTENT_LENGTH= 1"}, "a", fail(400, "bad_content_length")},
      {"trailing blank", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=1 "}, "a", fail(400, "bad_content_length")},
      {"exponent", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=1e1"}, "a", fail(400, "bad_content_length")},
      {"hex", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=0x1"}, "a", fail(400, "bad_content_length")},
      {"largest 64-bit value", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=18446744073709551615"}, "a",
       fail(413, "body_too_large")},
      {"too large for 64 bits", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=18446744073709551616"}, "a",
       fail(413, "body_too_large")},
      {"far too large", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=99999999999999999999999999999"}, "a",
       fail(413, "body_too_large")},
  };
  run_rows(rows);
}

TEST_P(InspectProgram, LimitsPassAtTheirValueAndFailOneOver) {
  const std::string post = "REQUEST_METHOD=POST";
  const std::string urlencoded = "CONTENT_TYPE=application/x-www-form-urlencoded";
  auto form = [&](const std::string& limit, const std::vector<std::string>& parts) {
    const std::string body = multipart(parts);
    return Row{"", {post, kMultipart, length_of(body), limit}, body, {}};
  };
  auto members = [](const std::string& form_json, const std::string& files_json, const std::string& length,
                    const std::string& type) {
    return R"("method":"POST","query":"","args":[],"form":)" + form_json + R"(,"cookies":[],"files":)" + files_json +
           R"(,"headers":[["Content-Length",")" + length + R"("],["Content-Type",")" + type + "\"]]";
  };
  const std::string mp_type = "multipart/form-data; boundary=XyZ";
  auto mp_ok = [&](Row r, const std::string& form_json, const std::string& files_json) {
    r.want = ok(members(form_json, files_json, std::to_string(r.in.size()), mp_type));
    return r;
  };
  auto mp_fail = [](Row r, int status, const std::string& code) {
    r.want = fail(status, code);
    return r;
  };
  auto file = [](const std::string& name, const std::string& data) {
    return part("name=\"" + name + "\"; filename=\"" + name + ".bin\"", data);
  };
  // One part's header block: its lines and the empty line after them.
  const std::string header_block = "Content-Disposition: form-data; name=\"a\"\r\n\r\n";
  const std::string at_header = "CGIECHO_MAX_PART_HEADER=" + std::to_string(header_block.size());
  const std::string below_header = "CGIECHO_MAX_PART_HEADER=" + std::to_string(header_block.size() - 1);

  std::vector<Row> rows = {
      {"body at the limit", {post, "CONTENT_LENGTH=5", "CGIECHO_MAX_BODY=5"}, "hello",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","5"]])")},
      {"body one over, refused before it is read", {post, "CONTENT_LENGTH=6", "CGIECHO_MAX_BODY=5"}, "hello!",
       fail(413, "body_too_large")},
      {"0 means 0", {post, "CONTENT_LENGTH=1", "CGIECHO_MAX_BODY=0"}, "a", fail(413, "body_too_large")},
      {"leading zeros", {post, "CONTENT_LENGTH=5", "CGIECHO_MAX_BODY=0005"}, "hello",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","5"]])")},
      {"a limit past 64 bits is larger than any", {post, "CONTENT_LENGTH=5", "CGIECHO_MAX_BODY=99999999999999999999999"},
       "hello",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","5"]])")},
      {"url-encoded form at the limit", {post, urlencoded, "CONTENT_LENGTH=7", "CGIECHO_MAX_FORM=7"}, "a=1&b=2",
       ok(members(R"([["a","1"],["b","2"]])", "[]", "7", "application/x-www-form-urlencoded"))},
      {"url-encoded form one over", {post, urlencoded, "CONTENT_LENGTH=8", "CGIECHO_MAX_FORM=7"}, "a=1&b=22",
       fail(413, "body_too_large")},
      {"the form limit is not a body limit", {post, "CONTENT_LENGTH=8", "CGIECHO_MAX_FORM=7"}, "a=1&b=22",
       ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],"headers":[["Content-Length","8"]])")},
      {"query fields at the limit, empty pieces not counted",
       {"REQUEST_METHOD=GET", "QUERY_STRING=a&&b&", "CGIECHO_MAX_FIELDS=2"}, "",
       ok(R"("method":"GET","query":"a&&b&","args":[["a",""],["b",""]],"form":[],"cookies":[],"files":[],"headers":[])")},
      {"query fields one over", {"REQUEST_METHOD=GET", "QUERY_STRING=a&b&c", "CGIECHO_MAX_FIELDS=2"}, "",
       fail(414, "too_many_fields")},
      {"body fields at the limit", {post, urlencoded, "CONTENT_LENGTH=3", "QUERY_STRING=q&r", "CGIECHO_MAX_FIELDS=2"},
       "a&b",
       ok(R"("method":"POST","query":"q&r","args":[["q",""],["r",""]],"form":[["a",""],["b",""]],"cookies":[],)"
          R"("files":[],"headers":[["Content-Length","3"],["Content-Type","application/x-www-form-urlencoded"]])")},
      {"body fields one over", {post, urlencoded, "CONTENT_LENGTH=5", "CGIECHO_MAX_FIELDS=2"}, "a&b&c",
       fail(413, "too_many_fields")},
      {"cookies at the limit, pieces without a name not counted",
       {"REQUEST_METHOD=GET", "HTTP_COOKIE=a=1; junk; =2; b=3", "CGIECHO_MAX_COOKIES=2"}, "",
       ok(R"("method":"GET","query":"","args":[],"form":[],"cookies":[["a","1"],["b","3"]],"files":[],)"
          R"("headers":[["Cookie","a=1; junk; =2; b=3"]])")},
      {"cookies one over", {"REQUEST_METHOD=GET", "HTTP_COOKIE=a=1; b=2; c=3", "CGIECHO_MAX_COOKIES=2"}, "",
       fail(431, "too_many_cookies")},
      {"cookies one over, a C1 CSI and U+2028 in SCRIPT_NAME",
       {"REQUEST_METHOD=GET", "SCRIPT_NAME=/a\xC2\x9B" "2J\xE2\x80\xA8", "HTTP_COOKIE=a=1; b=2; c=3",
        "CGIECHO_MAX_COOKIES=2"},
       "", fail(431, "too_many_cookies")},
      mp_ok(form("CGIECHO_MAX_FORM=5", {part(R"(name="a")", "abc"), part(R"(name="b")", "de"), file("f", "file data")}),
            R"([["a","abc"],["b","de"]])", "[" + file_json("f", "f.bin", "null", "file data") + "]"),
      mp_fail(form("CGIECHO_MAX_FORM=5", {part(R"(name="a")", "abc"), part(R"(name="b")", "def")}), 413,
              "body_too_large"),
      mp_ok(form("CGIECHO_MAX_PARTS=2", {part(R"(name="a")", "1"), file("f", "2")}), R"([["a","1"]])",
            "[" + file_json("f", "f.bin", "null", "2") + "]"),
      mp_fail(form("CGIECHO_MAX_PARTS=2", {part(R"(name="a")", "1"), file("f", "2"), part(R"(name="c")", "3")}), 413,
              "too_many_parts"),
      mp_ok(form("CGIECHO_MAX_FILES=1", {part(R"(name="a")", "1"), file("f", "2"), part(R"(name="c")", "3")}),
            R"([["a","1"],["c","3"]])", "[" + file_json("f", "f.bin", "null", "2") + "]"),
      mp_fail(form("CGIECHO_MAX_FILES=1", {file("f", "1"), file("g", "2")}), 413, "too_many_files"),
      mp_ok(form("CGIECHO_MAX_FILE=5", {file("f", "hello"), file("g", "world")}), "[]",
            "[" + file_json("f", "f.bin", "null", "hello") + "," + file_json("g", "g.bin", "null", "world") + "]"),
      mp_fail(form("CGIECHO_MAX_FILE=5", {file("f", "hello"), file("g", "world!")}), 413, "file_too_large"),
      mp_ok(form(at_header, {part(R"(name="a")", "1")}), R"([["a","1"]])", "[]"),
      mp_fail(form(below_header, {part(R"(name="a")", "1")}), 413, "part_header_too_large"),
      mp_ok(form("CGIECHO_MEMORY=0", {file("f", "streamed past the memory setting")}), "[]",
            "[" + file_json("f", "f.bin", "null", "streamed past the memory setting") + "]"),
  };
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].name.empty()) rows[i].name = "multipart with " + rows[i].env.back() + " (" + std::to_string(i) + ")";
  run_rows(rows);
}

TEST_P(InspectProgram, InvalidLimitIsAServerErrorNamingTheVariable) {
  const char* names[] = {"CGIECHO_MAX_BODY",  "CGIECHO_MAX_FORM", "CGIECHO_MAX_FIELDS",
                         "CGIECHO_MAX_PARTS", "CGIECHO_MAX_FILES", "CGIECHO_MAX_FILE",
                         "CGIECHO_MAX_PART_HEADER", "CGIECHO_MAX_COOKIES", "CGIECHO_MEMORY"};
  const char* values[] = {"", "x", " 5", "5 ", "-5", "+5", "5.0", "1e3", "0x10", "5k"};
  auto expect_invalid = [&](const std::vector<std::string>& env, const std::string& input, const char* name) {
    RunPlan s = plan(env);
    s.pieces = {input};
    const RunResult r = run_program(s);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(same_bytes(r.out, head(500) + R"({"error":"invalid_limit","message":")" + name +
                                      " is not a plain decimal number\"}\n"));
  };
  // Every variable, on a request that comes nowhere near its limit.
  for (const char* name : names) {
    SCOPED_TRACE(name);
    expect_invalid({"REQUEST_METHOD=GET", std::string(name) + "=x"}, "", name);
  }
  // Every way a value can fail to be a plain decimal number.
  for (const char* value : values) {
    SCOPED_TRACE(testing::PrintToString(value));
    expect_invalid({"REQUEST_METHOD=POST", "CONTENT_LENGTH=3", std::string("CGIECHO_MAX_FIELDS=") + value}, "a=1",
                   "CGIECHO_MAX_FIELDS");
  }
}

TEST_P(InspectProgram, MalformedMultipartIsRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"no closing delimiter", "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"},
      {"no name", multipart({"--XyZ\r\nContent-Disposition: form-data\r\n\r\n1\r\n"})},
      {"header line without a colon", multipart({"--XyZ\r\nContent-Disposition form-data; name=\"a\"\r\n\r\n1\r\n"})},
      {"quote never closes", multipart({"--XyZ\r\nContent-Disposition: form-data; name=\"a\r\n\r\n1\r\n"})},
  };
  std::vector<Row> rows;
  for (const auto& [name, body] : cases)
    rows.push_back({name, {"REQUEST_METHOD=POST", kMultipart, length_of(body)}, body, fail(400, "malformed_multipart")});
  rows.push_back({"no boundary", {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data", "CONTENT_LENGTH=1"}, "x",
                  fail(400, "malformed_multipart")});
  rows.push_back({"boundary of 71 bytes",
                  {"REQUEST_METHOD=POST", "CONTENT_TYPE=multipart/form-data; boundary=" + std::string(71, 'b'),
                   "CONTENT_LENGTH=1"},
                  "x", fail(400, "malformed_multipart")});
  // Without a body there is no form, and nothing to need a boundary.
  for (const std::string& type : {std::string(kMultipart).substr(13), std::string("multipart/form-data"),
                                 "multipart/form-data; boundary=" + std::string(71, 'b')})
    rows.push_back({"no body: " + type, {"REQUEST_METHOD=POST", "CONTENT_TYPE=" + type, "CONTENT_LENGTH=0"}, "",
                    ok(R"("method":"POST","query":"","args":[],"form":[],"cookies":[],"files":[],)"
                       R"("headers":[["Content-Length","0"],["Content-Type",")" + type + R"("]])")});
  run_rows(rows);
}

TEST_P(InspectProgram, HeadGetsTheHeaderBlockAlone) {
  const std::vector<Row> rows = {
      {"HEAD", {"REQUEST_METHOD=HEAD", "QUERY_STRING=a=1"}, "", ok("")},
      {"HEAD refused", {"REQUEST_METHOD=HEAD", "QUERY_STRING=a&b", "CGIECHO_MAX_FIELDS=1"}, "",
       fail(414, "too_many_fields")},
      {"HEAD with a bad limit", {"REQUEST_METHOD=HEAD", "CGIECHO_MAX_BODY=no"}, "", fail(500, "invalid_limit")},
  };
  run_rows(rows);
}

// A body that arrives slowly, in pieces cut anywhere (inside the boundary,
// inside a header), gives the report of the whole. A file over a megabyte
// is hashed beside the body on a second thread.
TEST_P(InspectProgram, BodyInPiecesAndLargeFiles) {
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
  const std::string small = multipart({part(R"(name="a")", "1"), part(R"(name="f"; filename="x")", "data")});
  const std::string large = multipart({part(R"(name="f"; filename="big")", big), part(R"(name="a")", "after")});
  const struct {
    std::string name, body;
    std::vector<std::size_t> cuts;
    std::chrono::milliseconds gap;
    std::string form, files;
  } cases[] = {
      {"cut inside the boundary and a header", small, {1, 3, 20, 50, 58, 110}, 15ms, R"([["a","1"]])",
       "[" + file_json("f", "x", "null", "data") + "]"},
      {"3 MiB file", large, {big.size() / 2}, 0ms, R"([["a","after"]])", "[" + file_json("f", "big", "null", big) + "]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Row row{c.name, {"REQUEST_METHOD=POST", kMultipart, length_of(c.body)}, c.body,
            ok(R"("method":"POST","query":"","args":[],"form":)" + c.form + R"(,"cookies":[],"files":)" + c.files +
               R"(,"headers":[["Content-Length",")" + std::to_string(c.body.size()) +
               R"("],["Content-Type","multipart/form-data; boundary=XyZ"]])")};
    RunPlan s = plan(row.env);
    std::size_t at = 0;
    for (std::size_t cut : c.cuts) {
      s.pieces.push_back(c.body.substr(at, cut - at));
      at = cut;
    }
    s.pieces.push_back(c.body.substr(at));
    s.gap = c.gap;
    s.keep_stdin_open = true;  // the announced length, not the end of input, ends the body
    check(row, s);
  }
}

// On a packet pipe every write arrives as a read of its own.
TEST_P(InspectProgram, AnswerIsOneWrite) {
  const std::string form = multipart({part(R"(name="a")", "1"), part(R"(name="f"; filename="x")", "data")});
  const std::vector<Row> rows = {
      {"GET", {"REQUEST_METHOD=GET", "QUERY_STRING=a=1", "HTTP_HOST=h"}, "",
       ok(R"("method":"GET","query":"a=1","args":[["a","1"]],"form":[],"cookies":[],"files":[],"headers":[["Host","h"]])")},
      {"refused", {"REQUEST_METHOD=GET", "HTTP_COOKIE=a=1; b=2", "CGIECHO_MAX_COOKIES=1"}, "", fail(431, "too_many_cookies")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunPlan s = plan(row.env);
    s.out = StdoutKind::kPacketPipe;
    const RunResult r = run_program(s);
    EXPECT_TRUE(same_bytes(r.out, expected(row)));
    EXPECT_EQ(r.packets, std::vector<std::size_t>{expected(row).size()});
  }
}

INSTANTIATE_TEST_SUITE_P(Linux, InspectProgram, testing::Values(Platform::kLinux),
                         [](const auto&) { return std::string("cgiecho_inspect"); });
INSTANTIATE_TEST_SUITE_P(Windows, InspectProgram, testing::Values(Platform::kWindows),
                         [](const auto&) { return std::string("cgiecho_inspect_exe"); });
INSTANTIATE_TEST_SUITE_P(Windows32, InspectProgram, testing::Values(Platform::kWindows32),
                         [](const auto&) { return std::string("cgiecho_inspect_exe"); });

// Bytes that are not UTF-8 reach the Linux program as they are; under Wine
// the environment goes through the ANSI code page first.
TEST(InspectProgramLinux, RawEnvironmentBytesComeAsBase64) {
  RunPlan s;
  s.argv = {CGIECHO_INSPECT};
  s.env = {"REQUEST_METHOD=GET", "QUERY_STRING=a=\xFF", "HTTP_COOKIE=c=\xE9", "HTTP_X_\xFF=\xFE"};
  const RunResult r = run_program(s);
  EXPECT_TRUE(same_bytes(r.out, head(200) +
                                    R"({"method":"GET","query":{"base64":"YT3/"},"args":[["a",{"base64":"/w=="}]],)"
                                    R"("form":[],"cookies":[["c",{"base64":"6Q=="}]],"files":[],)"
                                    R"("headers":[["Cookie",{"base64":"Yz3p"}],[{"base64":"WC3/"},{"base64":"/g=="}]],)"
                                    R"("body":{"size":0,"sha256":")" + sha("") + "\"}}\n"));
}

// A file far larger than the memory the process may take streams through:
// nothing holds the body or a file whole.
TEST(InspectProgramLinux, LargeUploadInBoundedMemory) {
  if (CGIECHO_SANITIZED) GTEST_SKIP() << "the sanitizers reserve terabytes of shadow address space";
  const std::string data(96 << 20, 'x');
  const std::string body = multipart({part(R"(name="f"; filename="big")", data)});
  RunPlan s;
  s.argv = {"/usr/bin/prlimit", "--as=67108864", CGIECHO_INSPECT};  // 64 MiB of address space
  s.env = {"REQUEST_METHOD=POST", kMultipart, length_of(body)};
  s.pieces = {body};
  const RunResult r = run_program(s);
  EXPECT_EQ(r.exit_code, 0) << r.failure << r.err;
  EXPECT_TRUE(same_bytes(r.out, head(200) + R"({"method":"POST","query":"","args":[],"form":[],"cookies":[],)"
                                              R"("files":[)" + file_json("f", "big", "null", data) +
                                    R"(],"headers":[["Content-Length",")" + std::to_string(body.size()) +
                                    R"("],["Content-Type","multipart/form-data; boundary=XyZ"]],)"
                                    R"("body":{"size":)" + std::to_string(body.size()) + R"(,"sha256":")" +
                                    sha(body) + "\"}}\n"));
}

}  // namespace
